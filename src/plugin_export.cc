// The module's one export.
#include "Pellion.h"
#include "platform/module.h"

#ifdef _WIN32
#define PELLION_EXPORT __declspec(dllexport)
#else
#define PELLION_EXPORT __attribute__((visibility("default")))
#endif

extern "C" PELLION_EXPORT IAVStreamInterface* CreatePlugInterface() {
  platform::PinModule();
  // The copy of the shared pointer is dropped at return; the static one keeps the object.
  std::shared_ptr<Pellion> instance = Pellion::GetInstance();
  return instance.get();
}
