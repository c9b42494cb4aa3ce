#!/usr/bin/env python3
"""Writes tags.csv, the 300 tags of the example plant (deterministic: run it again to get the
same file). The plant has five areas; each has control loops with their transmitters, switches,
on/off valves, motors and flow totalizers."""
import csv
import random
import sys

rng = random.Random(20261208)

AREAS = [
    (1, "Feed preparation", ["feed tank T-101", "mixing tank T-102", "heater E-101"]),
    (2, "Reactor", ["reactor R-201", "reactor jacket", "condenser E-201"]),
    (3, "Distillation", ["column C-301", "reboiler E-302", "reflux drum D-303"]),
    (4, "Product storage", ["product tank T-401", "product tank T-402", "loading bay"]),
    (5, "Utilities", ["cooling water header", "steam header", "instrument air header"]),
]

# Measured variables: letter, what, unit, low, high, decimals.
VARIABLES = [
    ("T", "temperature", "°C", 0.0, 250.0, 1),
    ("F", "flow", "m3/h", 0.0, 50.0, 2),
    ("P", "pressure", "bar", 0.0, 16.0, 2),
    ("L", "level", "%", 0.0, 100.0, 1),
]
ANALYSERS = [("pH", 0.0, 14.0, 2), ("O2", 0.0, 25.0, 1), ("ppm", 0.0, 500.0, 0)]

FIELDS = ["PV", "SP", "Mode", "OP", "Deviation", "Kp", "Ti", "Td", "OutHi", "OutLo",
          "Raw", "AlarmActive", "HiAlarm", "LoAlarm", "Channel", "LastCal",
          "State", "Inverted", "DebounceMs",
          "Cmd", "Interlock", "Opened", "Closed", "Fault", "TravelTime",
          "Start", "Stop", "Running", "Current", "RunHours", "Starts", "RatedPower",
          "Flow", "Reset", "Total", "LastReset", "UnitPrice"]
DISPLAYED = ["PV", "SP", "OP", "Current", "RunHours", "Flow", "Total"]

header = ["TagName", "TagType", "TagDesc", "TagGroup", "TagLevel", "AlmLevel"]
for field in FIELDS:
    header.append(field)
    if field in DISPLAYED:
        header += [field + ".SCH", field + ".SCL", field + ".EU", field + ".Decimal"]

rows = []


def add(name, type_name, desc, group, level, alarm, values, display=None):
    row = {"TagName": name, "TagType": type_name, "TagDesc": desc, "TagGroup": group,
           "TagLevel": level, "AlmLevel": alarm}
    row.update(values)
    for field, (high, low, unit, decimals) in (display or {}).items():
        row[field + ".SCH"] = high
        row[field + ".SCL"] = low
        row[field + ".EU"] = unit
        row[field + ".Decimal"] = decimals
    rows.append(row)


def cap(text):
    return text[0].upper() + text[1:]


def channel(kind, area, n):
    return f"{kind} R{area}/S{(n % 8) + 1:02}/CH{n % 16:02}"


def date(year_from=2024):
    return f"{rng.randint(year_from, 2026)}-{rng.randint(1, 12):02}-{rng.randint(1, 28):02}"


for area, area_name, units in AREAS:
    # Twelve control loops: controller and transmitter share the loop number.
    for loop in range(1, 13):
        letter, what, unit, low, high, decimals = VARIABLES[(loop - 1) % 4]
        place = units[(loop - 1) % 3]
        number = f"{area}{loop:02}"
        pv = round(rng.uniform(low + 0.2 * (high - low), low + 0.8 * (high - low)), decimals)
        sp = round(pv + rng.uniform(-0.03, 0.03) * (high - low), decimals)
        mode = rng.choice([1, 1, 1, 2, 0])
        add(f"{letter}IC-{number}", "PIDController", f"{cap(place)} {what} control",
            area, 2, 1,
            {"PV": pv, "SP": sp, "Mode": mode, "OP": round(rng.uniform(5, 95), 1),
             "Deviation": round(pv - sp, decimals), "Kp": round(rng.uniform(0.4, 4.0), 2),
             "Ti": rng.choice([10, 20, 30, 45, 60, 120, 240]), "Td": rng.choice([0, 0, 2, 5]),
             "OutHi": 100, "OutLo": 0},
            {"PV": (high, low, unit, decimals), "SP": (high, low, unit, decimals),
             "OP": (100, 0, "%", 1)})
        raw = int((pv - low) / (high - low) * 27648)
        add(f"{letter}T-{number}", "AnalogInput", f"{cap(place)} {what} transmitter",
            area, 1, 2,
            {"Raw": raw, "PV": pv, "AlarmActive": "false",
             "HiAlarm": round(low + 0.9 * (high - low), decimals),
             "LoAlarm": round(low + 0.1 * (high - low), decimals),
             "Channel": channel("AI", area, loop), "LastCal": date()},
            {"PV": (high, low, unit, decimals)})
    # Six indicators and analysers without a controller.
    for n in range(13, 19):
        if n < 16:
            letter, what, unit, low, high, decimals = VARIABLES[n % 4]
            name, desc = f"{letter}I-{area}{n:02}", f"{cap(units[n % 3])} {what}"
        else:
            unit, low, high, decimals = ANALYSERS[n - 16]
            name = f"AT-{area}{n:02}"
            desc = f"{cap(units[n % 3])} {unit} analyser"
        pv = round(rng.uniform(low, high), decimals)
        alarm = "true" if (area, n) in [(2, 17), (5, 14)] else "false"
        add(name, "AnalogInput", desc, area, 1, 3 if alarm == "true" else 1,
            {"Raw": int((pv - low) / (high - low) * 27648), "PV": pv, "AlarmActive": alarm,
             "HiAlarm": round(low + 0.85 * (high - low), decimals),
             "LoAlarm": round(low + 0.15 * (high - low), decimals),
             "Channel": channel("AI", area, n), "LastCal": f"{date()} 0{rng.randint(7, 9)}:30:00"},
            {"PV": (high, low, unit, decimals)})
    # Seven switches.
    for i, (prefix, what) in enumerate([("LSH", "level high"), ("LSL", "level low"),
                                        ("PSH", "pressure high"), ("TSH", "temperature high"),
                                        ("FSL", "flow low"), ("LSHH", "level high-high"),
                                        ("ZSO", "hatch open")]):
        state = rng.random() < 0.15
        add(f"{prefix}-{area}{31 + i}", "DigitalInput",
            f"{cap(units[i % 3])} {what} switch", area, 1, 2 if prefix != "ZSO" else 0,
            {"Raw": "true" if state != (prefix == "LSL") else "false",
             "State": "true" if state else "false",
             "Inverted": "true" if prefix == "LSL" else "false",
             "DebounceMs": rng.choice([50, 100, 250, 500]), "Channel": channel("DI", area, i)})
    # Ten on/off valves.
    for i in range(10):
        opened = rng.random() < 0.4
        fault = (area, i) in [(3, 4)]
        add(f"XV-{area}{41 + i}", "OnOffValve",
            f"{cap(units[i % 3])} {['inlet', 'outlet', 'drain', 'vent', 'bypass'][i % 5]}"
            f" valve" + (', sticks, see work order "WO-4471"' if fault else ""),
            area, 2, 2 if fault else 1,
            {"Cmd": "true" if opened else "false", "Interlock": "false",
             "Opened": "true" if opened and not fault else "false",
             "Closed": "false" if opened or fault else "true",
             "Fault": "true" if fault else "false", "TravelTime": rng.choice([5, 8, 12, 20, 30])})
    # Eight motors: duty/standby pumps, an agitator, a compressor and fans.
    motors = [("P", "A", "pump"), ("P", "B", "standby pump"), ("P", "A", "pump"),
              ("P", "B", "standby pump"), ("AG", "", "agitator"), ("K", "", "compressor"),
              ("FN", "", "cooling fan"), ("FN", "", "exhaust fan")]
    for i, (prefix, suffix, what) in enumerate(motors):
        number = 61 + i // 2 * 2 if prefix == "P" else 61 + i
        running = suffix != "B" and rng.random() < 0.8
        power = rng.choice([2.2, 4.0, 7.5, 11.0, 15.0, 22.0, 37.0])
        nominal = round(power * 1.9, 1)
        add(f"{prefix}-{area}{number}{suffix}", "Motor",
            f"{cap(units[i % 3])} {what}", area, 2, 1,
            {"Start": "true" if running else "false", "Stop": "false",
             "Running": "true" if running else "false",
             "Current": round(nominal * rng.uniform(0.6, 0.95), 1) if running else 0,
             "RunHours": round(rng.uniform(100, 40000), 1), "Starts": rng.randint(10, 5000),
             "Fault": "false", "RatedPower": power},
            {"Current": (round(nominal * 1.5), 0, "A", 1), "RunHours": (100000, 0, "h", 0)})
    # Five totalizers on the flow loops.
    for i in range(5):
        flow = round(rng.uniform(2, 45), 2)
        total = f"{rng.randint(1000, 900000)}.{rng.randint(0, 999):03}"
        add(f"FQ-{area}{2 + 4 * i:02}", "Totalizer",
            f"{cap(units[i % 3])} flow total", area, 3, 0,
            {"Flow": flow, "Reset": "false", "Total": total,
             "LastReset": f"{date(2025)} 06:00:00",
             "UnitPrice": rng.choice(["0.85", "1.2", "0.0425", "12.5"])},
            {"Flow": (50, 0, "m3/h", 2), "Total": (1000000, 0, "m3", 3)})

writer = csv.DictWriter(sys.stdout, fieldnames=header, lineterminator="\r\n")
writer.writeheader()
writer.writerows(rows)
