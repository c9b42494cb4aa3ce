// Module state that other entry points consult.
#ifndef ZEMA_MODULE_MODULE_H
#define ZEMA_MODULE_MODULE_H

// Whether the library registered itself with the host framework at load.
bool ZemaModuleAttached();

#endif
