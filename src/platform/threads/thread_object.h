// One object of type T per thread, kept in a pthread key rather than in a thread_local variable.
//
// A thread_local object with a destructor registers that destructor with the C library, which
// then keeps the shared library loaded after dlclose for as long as the thread that touched the
// object runs: its static objects are not destroyed, the module is not unregistered. A pthread
// key has no such hold. Each thread's object is made at its first Get and destroyed when the
// thread ends. When the ThreadObject itself is destroyed (at unload, or at exit) the key is
// deleted: the objects of threads still running are then left undestroyed (they leak), and Get
// returns null from then on.
//
// Declare it as a function-local static so that it exists before its first use, whatever the
// order in which the library's static objects are made:
//   static platform::ThreadObject<Cache> caches;
//   if (Cache* cache = caches.Get()) ...
#ifndef ZEMA_PLATFORM_THREADS_THREAD_OBJECT_H
#define ZEMA_PLATFORM_THREADS_THREAD_OBJECT_H

#include <pthread.h>

#include <new>

namespace platform {

template <class T>
class ThreadObject {
 public:
  ThreadObject() { valid = pthread_key_create(&key, &DestroyAtThreadEnd) == 0; }
  ~ThreadObject() {
    if (valid) pthread_key_delete(key);
    valid = false;
  }
  ThreadObject(const ThreadObject&) = delete;
  ThreadObject& operator=(const ThreadObject&) = delete;

  // The calling thread's object, value-initialised at its first use; null when there is no key
  // (it could not be made, or it is gone at exit) or no memory for the object.
  T* Get() {
    if (!valid) return nullptr;
    T* object = static_cast<T*>(pthread_getspecific(key));
    if (object != nullptr) return object;
    object = new (std::nothrow) T();
    if (object != nullptr && pthread_setspecific(key, object) != 0) {
      delete object;
      object = nullptr;
    }
    return object;
  }

 private:
  static void DestroyAtThreadEnd(void* object) { delete static_cast<T*>(object); }

  pthread_key_t key;
  bool valid = false;
};

}  // namespace platform

#endif
