// pellion-send: sends an H.264 or H.265 elementary-stream file, or a test pattern it encodes
// itself, as stream packets over UDP, paced like a live source, with seeded loss, duplication
// and reordering for exercising receivers. It answers key-frame requests from the host's TCP
// link by jumping to the next key frame (or encoding one).
#include <cstdio>
#include <exception>
#include <optional>

#include "send/basics.h"
#include "send/command_line.h"
#include "send/sender.h"

#if defined(__SANITIZE_ADDRESS__)
// libx265 never frees some buffers it allocates when an encoder opens; a sanitizer build must
// not fail the run over a leak in a library it does not own.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

int main(int argc, char** argv) {
  pellion_send::Options options;
  if (std::optional<int> rc = pellion_send::ParseCommandLine(argc, argv, &options)) return *rc;
  pellion_send::StopSignals stop;
  try {
    pellion_send::Sender sender(options, stop);
    return sender.Run();
  } catch (const pellion_send::UsageError& e) {
    std::fprintf(stderr, "pellion-send: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pellion-send: %s\n", e.what());
    return 1;
  }
}
