// Fault injection: a seam through which tests make chosen platform calls fail.
//
// Every platform call that a road of the library passes through (each method of the data-access
// objects, the VARIANT functions, the code-page conversions, the file read, the address check)
// begins with FaultCheck("Component.Call"). Normally that is one relaxed atomic load and returns
// S_OK. A test arms a fault for a call name; the call then fails with the armed code instead of
// doing its work, as the real component would when it failed there.
//
// Call names: "Connection.Open", "Recordset.MoveNext", "Field.Value.get", "VariantCopy",
// "MultiByteToWideChar", "File.Open", ... (each component's README lists its names).
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

}  // namespace platform

#endif
