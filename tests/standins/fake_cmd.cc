// A stand-in command for process tests. Options, applied in order:
//   --out TEXT       print TEXT on stdout      --err TEXT      print TEXT on stderr
//   --record FILE    write argv, cwd and open descriptors to FILE (replaced atomically)
//   --sleep-ms N     sleep N ms                --hang          sleep until killed
//   --exit N         exit code (default 0)
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Listed before anything else is opened, so the list holds only what the process was given.
std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  int own = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == own) continue;
    char target[PATH_MAX] = {};
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    fds.push_back(std::string(entry->d_name) + " " + (n > 0 ? std::string(target, n) : "?"));
  }
  closedir(dir);
  return fds;
}

void Record(const char* path, int argc, char** argv, const std::vector<std::string>& fds) {
  std::string tmp = std::string(path) + ".tmp";
  FILE* f = fopen(tmp.c_str(), "we");
  if (f == nullptr) return;
  fprintf(f, "argc %d\n", argc);
  for (int i = 0; i < argc; ++i) fprintf(f, "arg %s\n", argv[i]);
  char cwd[PATH_MAX] = {};
  if (getcwd(cwd, sizeof(cwd)) != nullptr) fprintf(f, "cwd %s\n", cwd);
  for (const std::string& fd : fds) fprintf(f, "fd %s\n", fd.c_str());
  fclose(f);
  rename(tmp.c_str(), path);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> fds = OpenDescriptors();
  int code = 0;
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (strcmp(opt, "--out") == 0 || strcmp(opt, "--err") == 0) {
      FILE* stream = opt[2] == 'o' ? stdout : stderr;
      fputs(value, stream);
      fflush(stream);
      ++i;
    } else if (strcmp(opt, "--record") == 0) {
      Record(value, argc, argv, fds);
      ++i;
    } else if (strcmp(opt, "--sleep-ms") == 0) {
      usleep(static_cast<useconds_t>(atoi(value)) * 1000);
      ++i;
    } else if (strcmp(opt, "--hang") == 0) {
      for (;;) pause();
    } else if (strcmp(opt, "--exit") == 0) {
      code = atoi(value);
      ++i;
    }
  }
  return code;
}
