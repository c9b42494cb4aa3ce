// The fault-injection seam. While nothing is armed and no trace runs, FaultCheck (inline in
// faults.h) is one relaxed load of `active`; everything else happens here under one mutex.
#include "platform/faults/faults.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

namespace platform {
namespace {

struct ArmedFault {
  HRESULT code;
  int skip;   // calls still to let through before failing
  int times;  // failures still to deliver; negative: every later call
};

struct FaultState {
  std::mutex mutex;
  std::map<std::string, ArmedFault, std::less<>> armed;
  bool tracing = false;
  std::vector<std::string> trace;
  int fired = 0;
  std::map<std::string, std::string, std::less<>> settings;
};

// The listeners of settings: registered while the library loads (before any other thread), read
// under the seam's mutex. A fixed table, so that registering allocates nothing.
struct SettingListener {
  const char* name;
  FaultSettingListener listener;
};
constexpr int kMaxListeners = 8;
SettingListener g_listeners[kMaxListeners];
int g_listenerCount = 0;
std::mutex g_listenerMutex;

FaultSettingListener ListenerOf(std::string_view name) {
  std::lock_guard<std::mutex> lock(g_listenerMutex);
  for (int i = 0; i < g_listenerCount; ++i)
    if (name == g_listeners[i].name) return g_listeners[i].listener;
  return nullptr;
}

FaultState& State() {
  static FaultState* state = new FaultState;  // never destroyed: checks may run during exit
  return *state;
}

// REQUIRES: state.mutex held.
void UpdateActive(const FaultState& state) {
  faults_detail::active.store(state.armed.empty() && !state.tracing ? 0 : 1,
                              std::memory_order_relaxed);
}

// REQUIRES: state.mutex held.
HRESULT FireIfArmed(FaultState& state, std::string_view callName) {
  auto it = state.armed.find(callName);
  if (it == state.armed.end()) return S_OK;
  ArmedFault& fault = it->second;
  if (fault.skip > 0) {
    --fault.skip;
    return S_OK;
  }
  HRESULT code = fault.code;
  if (fault.times > 0 && --fault.times == 0) {
    state.armed.erase(it);
    UpdateActive(state);
  }
  ++state.fired;
  return code;
}

}  // namespace

namespace faults_detail {

std::atomic<int> active{0};

__attribute__((noinline, cold)) HRESULT FaultCheckArmed(const char* callName) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.tracing) state.trace.emplace_back(callName);
  return FireIfArmed(state, callName);
}

}  // namespace faults_detail

HRESULT FaultCheckUntraced(const std::string& name) {
  if (!FaultSeamActive()) return S_OK;
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return FireIfArmed(state, name);
}

std::string FaultNameCreateInstance(const CLSID& clsid) {
  char text[64];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0],
                clsid.Data4[1], clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5],
                clsid.Data4[6], clsid.Data4[7]);
  return std::string("CoCreateInstance ") + text;
}

void FaultInject(const std::string& callName, HRESULT code, int skip, int times) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (times == 0)
    state.armed.erase(callName);
  else
    state.armed[callName] = ArmedFault{code, skip < 0 ? 0 : skip, times};
  UpdateActive(state);
}

void FaultClearAll() {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.armed.clear();
  state.tracing = false;
  state.trace.clear();
  state.fired = 0;
  UpdateActive(state);
}

void FaultTraceStart() {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.trace.clear();
  state.tracing = true;
  UpdateActive(state);
}

std::vector<std::string> FaultTraceStop() {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.tracing = false;
  UpdateActive(state);
  std::vector<std::string> trace;
  trace.swap(state.trace);
  return trace;
}

int FaultFiredCount() {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.fired;
}

void FaultClear(const std::string& callName) { FaultInject(callName, S_OK, 0, 0); }

void FaultSet(const std::string& name, const std::string& value) {
  FaultState& state = State();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (value.empty())
      state.settings.erase(name);
    else
      state.settings[name] = value;
  }
  const FaultSettingListener listener = ListenerOf(name);
  if (listener != nullptr) listener(value);
}

std::string FaultSetting(const std::string& name) {
  FaultState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto found = state.settings.find(name);
  return found == state.settings.end() ? std::string() : found->second;
}

void FaultListen(const char* name, FaultSettingListener listener) {
  std::lock_guard<std::mutex> lock(g_listenerMutex);
  for (int i = 0; i < g_listenerCount; ++i) {
    if (std::string_view(name) == g_listeners[i].name) {
      g_listeners[i].listener = listener;
      return;
    }
  }
  if (g_listenerCount == kMaxListeners) {
    std::fprintf(stderr, "FaultListen: more than %d settings have listeners\n", kMaxListeners);
    std::abort();
  }
  g_listeners[g_listenerCount++] = {name, listener};
}

}  // namespace platform
