// The extension-module registry: the registered modules and the chain of CDynLinkLibrary
// objects, with the events a host program can follow through its ZEMAAfxEvent hook.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/afx/afx.h"

// Defined by a host or test program that wants to see the framework's events.
extern "C" void ZEMAAfxEvent(const char* event) __attribute__((weak, visibility("default")));

namespace {

struct ChainLink {
  const CDynLinkLibrary* library;
  const AFX_EXTENSION_MODULE* module;
};

std::mutex g_mutex;
std::vector<std::string> g_registered;  // names of the registered modules
std::vector<ChainLink> g_chain;         // in the order the libraries were created
std::atomic<bool> g_failRegistration{false};

}  // namespace

void AfxTraceEvent(const char* event) {
  if (ZEMAAfxEvent != nullptr && event != nullptr) ZEMAAfxEvent(event);
}

BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& module, const char* name) {
  if (name == nullptr || g_failRegistration.load()) return FALSE;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (module.initialized) return TRUE;  // registered already
    g_registered.push_back(name);
    module.initialized = true;
    module.name = name;
  }
  AfxTraceEvent(("register " + std::string(name)).c_str());
  return TRUE;
}

void AfxTermExtensionModule(AFX_EXTENSION_MODULE& module) {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!module.initialized) return;
    name = module.name;
    auto registered = std::find(g_registered.begin(), g_registered.end(), name);
    if (registered != g_registered.end()) g_registered.erase(registered);
    // The module leaves the chain with its registration; its libraries' destructors find
    // nothing left to unchain.
    g_chain.erase(std::remove_if(g_chain.begin(), g_chain.end(),
                                 [&](const ChainLink& link) { return link.module == &module; }),
                  g_chain.end());
    module.initialized = false;
  }
  AfxTraceEvent(("unregister " + name).c_str());
}

CDynLinkLibrary::CDynLinkLibrary(AFX_EXTENSION_MODULE& module, BOOL /*systemModule*/)
    : module(module) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_chain.push_back(ChainLink{this, &module});
}

CDynLinkLibrary::~CDynLinkLibrary() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_chain.erase(std::remove_if(g_chain.begin(), g_chain.end(),
                               [this](const ChainLink& link) { return link.library == this; }),
                g_chain.end());
}

bool AfxIsModuleRegistered(const char* name) {
  if (name == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (std::find(g_registered.begin(), g_registered.end(), name) == g_registered.end()) {
    return false;
  }
  return std::any_of(g_chain.begin(), g_chain.end(), [name](const ChainLink& link) {
    return link.module->initialized && link.module->name != nullptr &&
           std::strcmp(link.module->name, name) == 0;
  });
}

void AfxFailRegistrationForTesting(bool fail) { g_failRegistration.store(fail); }
