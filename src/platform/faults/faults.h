// Fault injection: a seam through which tests make chosen platform calls fail.
//
// Every platform call that the library's operations (Load, SaveTags, DeleteTags, ...) make on
// their way (each method of the data-access objects, the VARIANT functions, the code-page
// conversions, the file read, the address check) begins with FaultCheck("Component.Call"). Normally
// that is one relaxed atomic load and returns S_OK. A test arms a fault for a call name; the call
// then fails with the armed code instead of doing its work, as the real component would when it
// failed there.
//
// Call names: "Connection.Open", "Recordset.MoveNext", "Field.Value.get", "VariantCopy",
// "MultiByteToWideChar", "File.Open", ... (each component's README lists its names).
//
// The seam is also the one way a test changes the platform in other respects, each by a name:
// - faults outside those calls (the creation of one COM class, the registration of an extension
//   module), armed with FaultInject like the others but never recorded in a trace;
// - settings that replace what the platform reads from the system (the process code page, the
//   file the Jet reader reads), set with FaultSet.
#ifndef ZEMA_PLATFORM_FAULTS_H
#define ZEMA_PLATFORM_FAULTS_H

#include <atomic>
#include <string>
#include <vector>

#include "oleauto.h"

namespace platform {

namespace faults_detail {
// Non-zero while a fault is armed or a trace runs. Written only under the seam's mutex; read
// without it, so a check racing with FaultInject may miss the new fault, as any call that started
// before the arming would.
extern std::atomic<int> active;
// The armed or tracing path of FaultCheck, kept out of line so that the callers' fast path stays
// one load and one branch.
HRESULT FaultCheckArmed(const char* callName);
}  // namespace faults_detail

// S_OK, or the code an armed fault makes this call fail with. Thread-safe.
inline HRESULT FaultCheck(const char* callName) {
  if (__builtin_expect(faults_detail::active.load(std::memory_order_relaxed) == 0, 1)) return S_OK;
  return faults_detail::FaultCheckArmed(callName);
}

// Whether any fault is armed or a trace runs: a caller whose fault name costs work to build
// (FaultNameCreateInstance) asks this first.
inline bool FaultSeamActive() { return faults_detail::active.load(std::memory_order_relaxed) != 0; }

// Arms a fault: the call named callName fails with code, skipping the first `skip` calls and then
// failing `times` calls in a row (times < 0: every later call).
void FaultInject(const std::string& callName, HRESULT code, int skip = 0, int times = 1);
// Disarms every fault and stops tracing.
void FaultClearAll();
// Starts recording the names of the checked calls, in order (cleared at each start).
void FaultTraceStart();
// The calls recorded since FaultTraceStart; stops recording.
std::vector<std::string> FaultTraceStop();
// How many armed faults have fired since the last FaultClearAll.
int FaultFiredCount();
// Disarms the fault of one call name.
void FaultClear(const std::string& callName);

// Faults outside the calls of the library's operations. Like FaultCheck, but the name is never
// recorded in a trace, so that the trace of an operation lists only the calls that the tests of
// tests/faults_roads_test.cpp make fail one by one. Names:
// FaultNameCreateInstance(clsid) (CoCreateInstance of that class fails with the armed code) and
// "AfxInitExtensionModule" (the registration is refused).
HRESULT FaultCheckUntraced(const std::string& name);
// The name of the fault that makes CoCreateInstance of clsid fail:
// "CoCreateInstance {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string FaultNameCreateInstance(const CLSID& clsid);

// Settings: named values that replace what the platform reads from the system. "" (the start)
// is the system's own value. Settings are not faults: FaultClearAll leaves them as they are.
//   "ProcessCodePage"  the code page the process has instead of the locale's, as a number
//                      ("936"); a number that is no code page here leaves it as it was. Not
//                      thread-safe: set it while no other thread converts text.
//   "Jet.SqliteFile"   an SQLite file that the Jet reader takes for a Jet file: IsJetFile, the
//                      read and so Connection.Open see its tables, copied as they are (the Jet
//                      files the tests have hold no tag database; this is how a tag database
//                      behind the Jet engine is tested from end to end).
void FaultSet(const std::string& name, const std::string& value);
// The value of a setting ("" when not set). Thread-safe.
std::string FaultSetting(const std::string& name);
// A component that keeps what it read from the system registers a listener for its setting;
// FaultSet calls it (under no lock of the seam) with the new value. Components register while
// the library loads: the listeners are kept in a fixed table without allocating, so that a
// library that is loaded and unloaded again leaves nothing behind. name must live as long as the
// program (a literal); a setting has one listener, the last registered.
using FaultSettingListener = void (*)(const std::string& value);
void FaultListen(const char* name, FaultSettingListener listener);

}  // namespace platform

#endif
