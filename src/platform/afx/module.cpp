// The extension-module registry: the registered modules and the chain of CDynLinkLibrary
// objects, with the events a host program can follow through its ZEMAAfxEvent hook.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/afx/afx.h"
#include "platform/faults/faults.h"

// Defined by a host or test program that wants to see the framework's events.
extern "C" void ZEMAAfxEvent(const char* event) __attribute__((weak, visibility("default")));

namespace {

struct ChainLink {
  const CDynLinkLibrary* library;
  const AFX_EXTENSION_MODULE* module;
};

// Made on first use, so that a module that registers while it is being loaded is destroyed
// (and can unregister) before the registry is.
struct Registry {
  std::mutex mutex;
  std::vector<std::string> registered;  // names of the registered modules
  std::vector<ChainLink> chain;         // in the order the libraries were created
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void AfxTraceEvent(const char* event) {
  if (ZEMAAfxEvent != nullptr && event != nullptr) ZEMAAfxEvent(event);
}

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& module, const char* name) {
  if (name == nullptr || platform::FaultCheckUntraced("AfxInitExtensionModule") != S_OK)
    return FALSE;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (module.initialized) return TRUE;  // registered already
    r.registered.push_back(name);
    module.initialized = true;
    module.name = name;
  }
  AfxTraceEvent(("register " + std::string(name)).c_str());
  return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& module) {
  std::string name;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!module.initialized) return;
    name = module.name;
    auto registered = std::find(r.registered.begin(), r.registered.end(), name);
    if (registered != r.registered.end()) r.registered.erase(registered);
    // The module leaves the chain with its registration; its libraries' destructors find
    // nothing left to unchain.
    r.chain.erase(std::remove_if(r.chain.begin(), r.chain.end(),
                                 [&](const ChainLink& link) { return link.module == &module; }),
                  r.chain.end());
    module.initialized = false;
  }
  AfxTraceEvent(("unregister " + name).c_str());
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& extensionModule, BOOL /*systemModule*/)
    : module(extensionModule) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.chain.push_back(ChainLink{this, &extensionModule});
}

CDynLinkLibrary::~CDynLinkLibrary() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.chain.erase(std::remove_if(r.chain.begin(), r.chain.end(),
                               [this](const ChainLink& link) { return link.library == this; }),
                r.chain.end());
}

bool AfxIsModuleRegistered(const char* name) {
  if (name == nullptr) return false;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (std::find(r.registered.begin(), r.registered.end(), name) == r.registered.end()) {
    return false;
  }
  return std::any_of(r.chain.begin(), r.chain.end(), [name](const ChainLink& link) {
    return link.module->initialized && link.module->name != nullptr &&
           std::strcmp(link.module->name, name) == 0;
  });
}
