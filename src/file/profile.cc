// GetPrivateProfileInt: the system's own on Windows, libinih elsewhere.
#include "file/profile.h"

#ifdef _WIN32
#include "platform/profile.h"
#else
#include <ini.h>
#include <strings.h>

#include <cstdlib>
#endif

namespace NORV::sFileManager {
#ifdef _WIN32

int GetPrivateProfileInt(const std::string& section, const std::string& key, int default_value,
                         const std::string& path) {
  return platform::GetPrivateProfileIntA(section, key, default_value, path);
}

#else
namespace {

struct Lookup {
  const std::string* section;
  const std::string* key;
  bool found = false;
  int value = 0;
};

int OnEntry(void* user, const char* section, const char* name, const char* value) {
  auto* l = static_cast<Lookup*>(user);
  if (l->found || strcasecmp(section, l->section->c_str()) != 0 ||
      strcasecmp(name, l->key->c_str()) != 0)
    return 1;
  char* end = nullptr;
  long v = std::strtol(value, &end, 10);
  if (end != value) {
    l->found = true;
    l->value = static_cast<int>(v);
  }
  return 1;
}

}  // namespace

int GetPrivateProfileInt(const std::string& section, const std::string& key, int default_value,
                         const std::string& path) {
  Lookup lookup{&section, &key};
  // Parse errors in other lines do not matter: ini_parse goes on and reports them at the end.
  if (ini_parse(path.c_str(), &OnEntry, &lookup) < 0) return default_value;
  return lookup.found ? lookup.value : default_value;
}

#endif
}  // namespace NORV::sFileManager
