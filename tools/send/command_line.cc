#include "command_line.h"

#include <cstdio>
#include <vector>

#include <CLI/CLI.hpp>

#include "basics.h"

namespace pellion_send {

namespace {

constexpr int kMinSide = 16, kMaxSide = 8192;

// Validates numbers the way Range cannot: NaN passes a range check.
CLI::Validator Between(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](std::string& s) -> std::string {
        double v = 0;
        if (!CLI::detail::lexical_cast(s, v) || !(v >= lo && v <= hi))
          return "must be a number in [" + CLI::detail::to_string(lo) + ", " +
                 CLI::detail::to_string(hi) + "]";
        return {};
      },
      "[" + CLI::detail::to_string(lo) + " - " + CLI::detail::to_string(hi) + "]");
}

// "P:D" with D at least 1.
bool ParseResend(const std::string& t, std::pair<uint64_t, uint64_t>* out) {
  unsigned long long p = 0, d = 0;
  char tail = 0;
  if (std::sscanf(t.c_str(), "%llu:%llu%c", &p, &d, &tail) != 2 || d < 1) return false;
  *out = {p, d};
  return true;
}

// What the options hold as text until the whole command line has been read.
struct Raw {
  std::string size = "1280x720";
  std::string parameter_sets = "inline";
  std::vector<std::string> drops;
  uint64_t swap = 0;
  CLI::Option* swap_option = nullptr;
  std::string resend;
  CLI::Option* file = nullptr;
  CLI::Option* encode = nullptr;
};

void AddSource(CLI::App& app, Options* o, Raw* raw) {
  raw->file = app.add_option("file", o->file, "the elementary-stream file");
  raw->encode =
      app.add_flag("--encode", o->encode,
                   "send a test pattern encoded with libx264 (libx265 with --codec hevc) instead")
          ->excludes(raw->file);
  app.add_option("--size", raw->size, "picture size with --encode")
      ->check(CLI::Validator(
          [](std::string& s) -> std::string {
            int w = 0, h = 0;
            if (ParseSize(s, &w, &h)) return {};
            return "must be WxH, even, from " + std::to_string(kMinSide) + " to " +
                   std::to_string(kMaxSide);
          },
          "WxH"))
      ->needs(raw->encode)
      ->capture_default_str();
  app.add_option("--gop", o->enc.gop, "pictures from one key frame to the next with --encode")
      ->check(CLI::Range(1, 100000))
      ->needs(raw->encode)
      ->capture_default_str();
  app.add_option("--codec", o->codec,
                 "h264 or hevc (default: from the file name extension; h264 with --encode)")
      ->check(CLI::IsMember({"h264", "hevc"}));
}

void AddPacing(CLI::App& app, Options* o, const Raw& raw) {
  app.add_option("--host", o->host, "receiver address or name")->capture_default_str();
  app.add_option("--port", o->port, "receiver UDP port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--payload", o->payload, "payload bytes per datagram")
      ->check(CLI::Range(size_t{3}, kMaxPayload))
      ->capture_default_str();
  auto* fps = app.add_option("--fps", o->fps,
                             "frames per second (default: the stream's frame rate, else 30)")
                  ->check(Between(0.01, 1000));
  app.add_flag("--fast", o->fast, "send as fast as possible, without pacing")->excludes(fps);
  app.add_option("--loop", o->loops, "send the file this many times (0: until stopped)")
      ->check(CLI::NonNegativeNumber)
      ->excludes(raw.encode)
      ->capture_default_str();
  auto* frames = app.add_option("--frames", o->frames,
                                "stop after this many access units (pictures) of the source, "
                                "however many frames --parameter-sets makes of them (0: no limit)")
                     ->check(CLI::NonNegativeNumber)
                     ->capture_default_str();
  app.add_option("--seconds", o->seconds, "with --encode, stop after this many seconds of pictures")
      ->check(Between(0.001, 1e7))
      ->needs(raw.encode)
      ->excludes(frames);
  app.add_option("--first-index", o->first_index, "index of the first frame (0 is never sent)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{UINT32_MAX}))
      ->capture_default_str();
}

void AddImpairments(CLI::App& app, ImpairOptions* o) {
  app.add_option("--loss", o->loss, "probability of dropping a datagram")->check(Between(0, 1));
  app.add_option("--burst-loss", o->burst, "datagrams dropped in a row on each loss")
      ->check(CLI::Range(1u, 1000000u))
      ->capture_default_str();
  app.add_option("--dup", o->dup, "probability of sending a datagram twice")->check(Between(0, 1));
  app.add_option("--reorder", o->reorder,
                 "probability of holding a datagram back behind the next one to three")
      ->check(Between(0, 1));
  app.add_option("--seed", o->seed, "seed of the impairments")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
}

void AddLinks(CLI::App& app, Options* o, Raw* raw) {
  app.add_option("--trace", o->trace,
                 "write 'frameidx au_number key last_datagram_us' per frame and "
                 "'request received_us' per key-frame request to this file");
  app.add_option("--request-port", o->request_port,
                 "TCP port for key-frame requests (0: do not listen)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--request-bind", o->request_bind, "address to listen on for key-frame requests")
      ->capture_default_str();
  app.add_option("--parameter-sets", raw->parameter_sets,
                 "inline: as the source has them; separate: an access unit's parameter sets "
                 "(SPS/PPS, VPS/SPS/PPS) go first as a frame of their own, and every later frame "
                 "index moves up by one; once: sets identical to the ones this process last sent "
                 "under their type and id are left out, changed ones go again with the rest of "
                 "their unit's, and a frame left empty is not sent")
      ->check(CLI::IsMember({"inline", "separate", "once"}))
      ->capture_default_str();
  app.add_option("--source-port", o->source_port,
                 "UDP port to send from (0: any); a run from the same port is the same sender")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--junk", o->junk,
                 "after each datagram, this many junk datagrams from another socket (fresh "
                 "indices; complete one-packet frames and packets of frames never finished)")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
}

CLI::Validator TextCheck(bool (*ok)(const std::string&), const char* message, const char* name) {
  return CLI::Validator(
      [ok, message](std::string& t) -> std::string { return ok(t) ? "" : message; }, name);
}

void AddReshuffle(CLI::App& app, Reshuffle* r, Raw* raw) {
  app.add_option("--skip", r->skip,
                 "leave out the first N frames at once, as a receiver joining a running stream "
                 "misses them (frames count from 0 in the order they are made, every "
                 "--parameter-sets frame included; a frame left out keeps its index)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--drop", raw->drops,
                 "leave out these frames: P, P-Q, or a list of them, as 21-25,70")
      ->check(TextCheck(
          [](const std::string& t) {
            std::set<uint64_t> ignored;
            return ParsePositions(t, &ignored);
          },
          "must be P, P-Q or a list of them with commas", "LIST"));
  app.add_option("--drop-before-key", r->drop_before_key,
                 "leave out the N frames just before the file's second key frame")
      ->check(CLI::Range(uint64_t{1}, uint64_t{100000}))
      ->excludes(raw->encode);
  raw->swap_option = app.add_option("--swap", raw->swap, "send frame P right after frame P+1")
                         ->check(CLI::NonNegativeNumber);
  app.add_option("--resend", raw->resend,
                 "P:D: send frame P again, under its index, right after frame P+D")
      ->check(TextCheck(
          [](const std::string& t) {
            std::pair<uint64_t, uint64_t> ignored;
            return ParseResend(t, &ignored);
          },
          "must be P:D, D at least 1", "P:D"));
}

void Finish(const Raw& raw, Options* o) {
  ParseSize(raw.size, &o->enc.width, &o->enc.height);
  Reshuffle& r = o->reshuffle;
  for (const std::string& t : raw.drops) ParsePositions(t, &r.drop);
  if (raw.swap_option->count() > 0) r.swap = raw.swap;
  std::pair<uint64_t, uint64_t> resend;
  if (!raw.resend.empty() && ParseResend(raw.resend, &resend)) r.resend = resend;
  o->parameter_sets = raw.parameter_sets == "separate" ? ParameterSets::kSeparate
                      : raw.parameter_sets == "once"   ? ParameterSets::kOnce
                                                       : ParameterSets::kInline;
}

}  // namespace

bool ParsePositions(const std::string& text, std::set<uint64_t>* out) {
  auto number = [](const std::string& t, uint64_t* v) {
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *v = std::stoull(t);
    return true;
  };
  size_t begin = 0;
  for (;;) {
    size_t end = text.find(',', begin);
    std::string item = text.substr(begin, end == std::string::npos ? end : end - begin);
    size_t dash = item.find('-');
    uint64_t lo = 0, hi = 0;
    if (dash == std::string::npos) {
      if (!number(item, &lo)) return false;
      hi = lo;
    } else if (!number(item.substr(0, dash), &lo) || !number(item.substr(dash + 1), &hi) ||
               hi < lo || hi - lo > 100000) {
      return false;
    }
    for (uint64_t v = lo; v <= hi; ++v) out->insert(v);
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

bool ParseSize(const std::string& s, int* w, int* h) {
  size_t x = s.find_first_of("xX");
  if (x == std::string::npos) return false;
  auto side = [](const std::string& t, int* out) {
    if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *out = std::stoi(t);
    return *out >= kMinSide && *out <= kMaxSide && *out % 2 == 0;
  };
  return side(s.substr(0, x), w) && side(s.substr(x + 1), h);
}

std::optional<int> ParseCommandLine(int argc, char** argv, Options* o) {
  CLI::App app{
      "Sends an H.264 or H.265 elementary-stream file, or a test pattern encoded on the fly, as "
      "stream packets over UDP, one access unit per frame, paced at the frame rate; optionally "
      "loses, duplicates and reorders datagrams. Answers key-frame requests on a TCP port."};
  Raw raw;
  AddSource(app, o, &raw);
  AddPacing(app, o, raw);
  AddImpairments(app, &o->impair);
  AddLinks(app, o, &raw);
  AddReshuffle(app, &o->reshuffle, &raw);
  app.set_version_flag("--version", "pellion-send " PELLION_VERSION);
  try {
    app.parse(argc, argv);
    if (o->file.empty() && !o->encode) throw CLI::RequiredError("a file or --encode");
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  Finish(raw, o);
  return std::nullopt;
}

}  // namespace pellion_send
