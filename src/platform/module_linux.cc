// Module and executable paths (dladdr, /proc/self/exe), and reading one ELF section of a file.
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/module.h"

namespace platform {

std::string ModuleFilePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFilePath), &info) == 0 || info.dli_fname == nullptr)
    return ExeFilePath();
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

std::string ExeFilePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

void PinModule() {}

int ReadFileSection(const std::string& path, const char* section, std::string* out) {
  out->clear();
  std::ifstream f(path, std::ios::binary);
  if (!f) return errno != 0 ? errno : ENOENT;
  Elf64_Ehdr eh{};
  if (!f.read(reinterpret_cast<char*>(&eh), sizeof(eh)) ||
      std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    return ENOEXEC;
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum)
    return 0;
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  f.seekg(static_cast<std::streamoff>(eh.e_shoff));
  if (!f.read(reinterpret_cast<char*>(sections.data()),
              static_cast<std::streamsize>(sections.size() * sizeof(Elf64_Shdr))))
    return ENOEXEC;
  const Elf64_Shdr& names = sections[eh.e_shstrndx];
  if (names.sh_size > (1u << 20)) return ENOEXEC;
  std::string strtab(names.sh_size, '\0');
  f.seekg(static_cast<std::streamoff>(names.sh_offset));
  if (!f.read(strtab.data(), static_cast<std::streamsize>(strtab.size()))) return ENOEXEC;
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_name >= strtab.size() || std::strcmp(strtab.c_str() + s.sh_name, section) != 0)
      continue;
    if (s.sh_type == SHT_NOBITS || s.sh_size > (1u << 20)) return 0;
    out->resize(s.sh_size);
    f.seekg(static_cast<std::streamoff>(s.sh_offset));
    if (!f.read(out->data(), static_cast<std::streamsize>(out->size()))) {
      out->clear();
      return ENOEXEC;
    }
    return 0;
  }
  return 0;
}

}  // namespace platform
