// The module's one export.
#include "Pellion.h"

extern "C" __attribute__((visibility("default"))) IAVStreamInterface* CreatePlugInterface() {
  // The copy of the shared pointer is dropped at return; the static one keeps the object.
  std::shared_ptr<Pellion> instance = Pellion::GetInstance();
  return instance.get();
}
