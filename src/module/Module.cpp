// The library's life in a process: registration with the host framework at load, the catalogue
// singleton, and the orderly end at unload.
#include "module/Module.h"

#include "ZEMATagAcs.h"
#include "catalogue/ZEMATagAcsImpl.h"
#include "platform/afx/afx.h"

namespace {

AFX_EXTENSION_MODULE zemaModule;
CDynLinkLibrary* moduleChainEntry = nullptr;
bool attached = false;
CZEMATagAcsImpl* catalogue = nullptr;

// A catalogue the caller never released is destroyed first, then the module unregistered.
void DetachProcess() {
  if (catalogue != nullptr) AfxTraceEvent("release catalogue");
  CZEMATagAcs::Release();
  if (!attached) return;
  delete moduleChainEntry;
  moduleChainEntry = nullptr;
  AfxTermExtensionModule(zemaModule);
  attached = false;
}

// Ends the module when the process exits or unloads the library. It is made after the
// framework's registry, so it is destroyed before it, while the registry still stands.
struct ModuleLifetime {
  ~ModuleLifetime() { DetachProcess(); }
};

// Registers the library as an extension module; when that fails the library stays inert:
// Instance() yields null and Open() throws.
__attribute__((constructor)) void AttachProcess() {
  if (!AfxInitExtensionModule(zemaModule, "ZEMATagAcs")) return;
  moduleChainEntry = new CDynLinkLibrary(zemaModule);
  attached = true;
  static ModuleLifetime lifetime;
}

}  // namespace

bool ZemaModuleAttached() { return attached; }

CZEMATagAcs::~CZEMATagAcs() = default;

CZEMATagAcs* CZEMATagAcs::Instance() {
  if (!attached) return nullptr;
  if (catalogue == nullptr) catalogue = new CZEMATagAcsImpl();
  return catalogue;
}

void CZEMATagAcs::Release() {
  CZEMATagAcsImpl* current = catalogue;
  catalogue = nullptr;
  delete current;
}
