// Writes the seed corpus of every fuzz target: make_seeds OUT_DIR H264_CLIP H265_CLIP.
// Video seeds are real access units of the clips, cut and framed as each target reads them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "common/stream_datagrams.h"
#include "elementary_stream.h"
#include "network/NorvNetUDT.h"

namespace fs = std::filesystem;
using Bytes = std::string;
using NORV::sNetwork::kControlAckMagic;
using NORV::sNetwork::kControlPlainMagic;
using testing_util::Packet;
using testing_util::Packets;
constexpr auto Control = testing_util::ControlDatagram;

namespace {

class SeedDir {
 public:
  SeedDir(const fs::path& root, const char* target) : dir_(root / target) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void Write(const Bytes& seed) {
    char name[32];
    std::snprintf(name, sizeof(name), "seed-%03d", count_++);
    std::ofstream(dir_ / name, std::ios::binary).write(seed.data(), std::streamsize(seed.size()));
  }

 private:
  fs::path dir_;
  int count_ = 0;
};

Bytes Record(const Bytes& bytes) {
  size_t n = std::min<size_t>(bytes.size(), 0xFFFF);
  return Bytes{char(n >> 8), char(n & 0xFF)} + bytes.substr(0, n);
}

std::vector<Bytes> AccessUnits(const char* path, pellion_tools::Codec codec) {
  std::vector<uint8_t> file = pellion_tools::ReadWholeFile(path);
  auto split = pellion_tools::SplitAccessUnits(codec, file);
  std::vector<Bytes> units;
  for (const auto& u : split.units)
    units.emplace_back(reinterpret_cast<const char*>(file.data() + u.offset), u.size);
  return units;
}

void TransportSeeds(const fs::path& root, const Bytes& frame) {
  SeedDir out(root, "fuzz_transport_datagram");
  out.Write(Packets(1, frame, 1400)[0]);
  out.Write(Control(kControlAckMagic, 0x2b11, 0xfa22, Packet(2, 0, true, "x")));
  out.Write(Control(kControlAckMagic, 1, 2, "payload"));
  out.Write(Control(kControlPlainMagic, 0, 0, Packet(3, 0, true, "yz")));
  out.Write(Control(kControlPlainMagic, 0, 0, ""));
  out.Write(Control(kControlAckMagic, 0, 0, "").substr(0, 7));
  out.Write("abc");
  out.Write("abcd");
}

void ReceiverSeeds(const fs::path& root, const std::vector<Bytes>& units) {
  SeedDir out(root, "fuzz_receiver");
  auto join = [](const std::vector<Bytes>& datagrams) {
    Bytes seed;
    for (const Bytes& d : datagrams) seed += Record(d);
    return seed;
  };
  // A run of frames in order, as the sender cuts them.
  std::vector<Bytes> stream;
  for (size_t i = 0; i < units.size() && i < 6; ++i)
    for (Bytes& p : Packets(uint32_t(i + 1), units[i], 700)) stream.push_back(p);
  out.Write(join(stream));
  // The same reversed, duplicated, with a packet lost, and restarted at index 1.
  std::vector<Bytes> reversed(stream.rbegin(), stream.rend());
  out.Write(join(reversed));
  std::vector<Bytes> doubled;
  for (const Bytes& p : stream) doubled.insert(doubled.end(), {p, p});
  out.Write(join(doubled));
  std::vector<Bytes> lossy = stream;
  if (lossy.size() > 1) lossy.erase(lossy.begin() + 1);
  out.Write(join(lossy));
  std::vector<Bytes> restarted = stream;
  restarted.insert(restarted.end(), stream.begin(), stream.end());
  out.Write(join(restarted));
  // Packets the checks turn away, and frame index 0.
  Bytes lying = Packet(9, 0, true, "abcd");
  lying[1] = char(0x40);
  out.Write(join({Packet(4, 0, true, "A"), Packet(5, 0, true, "AB", false), lying,
                  Packet(0, 0, true, "zero"), Packet(7, 1, true, "BB"), Packet(7, 0, false, "AA"),
                  Packet(8, 0, true, Bytes(3000, 'x'))}));
}

void DecoderSeeds(const fs::path& root, const std::vector<Bytes>& h264,
                  const std::vector<Bytes>& hevc) {
  SeedDir out(root, "fuzz_decoder");
  auto frame = [](uint8_t flags, const Bytes& unit) {
    return Bytes(1, char(flags)) + Record(unit);
  };
  for (const auto* units : {&h264, &hevc}) {
    Bytes all;
    for (size_t i = 0; i < units->size(); ++i) {
      out.Write(frame(2, (*units)[i]));  // alone: probed with no decoder open
      all += frame(0, (*units)[i]);
    }
    out.Write(all);
    if (units->size() > 2)
      out.Write(frame(0, (*units)[0]) + frame(1, (*units)[1]) + frame(0, (*units)[2]));
  }
  // One codec after the other on one decoder.
  if (!h264.empty() && !hevc.empty()) out.Write(frame(0, h264[0]) + frame(0, hevc[0]));
  // Parameter sets in a frame of their own, then remembered across a closing (flag 1), a
  // flush of held pictures (4), and a predicted frame decoded without its references.
  for (const auto* units : {&h264, &hevc}) {
    if (units->size() < 3) continue;
    const Bytes& key = (*units)[0];
    size_t first_slice = Bytes::npos;
    for (size_t i = 0; i + 4 < key.size() && first_slice == Bytes::npos; ++i) {
      if (key.compare(i, 3, Bytes("\0\0\1", 3)) != 0) continue;
      uint8_t h = static_cast<uint8_t>(key[i + 3]);
      bool slice =
          units == &h264 ? (h & 0x1F) == 5 : ((h >> 1) & 0x3F) >= 16 && ((h >> 1) & 0x3F) <= 21;
      if (slice) first_slice = i;
    }
    if (first_slice == Bytes::npos) continue;
    Bytes ps = key.substr(0, first_slice), idr = key.substr(first_slice);
    out.Write(frame(0, ps) + frame(0, idr) + frame(0, (*units)[1]) + frame(1, (*units)[2]) +
              frame(4, idr) + frame(0, (*units)[2]));
  }
}

void IniSeeds(const fs::path& root) {
  SeedDir out(root, "fuzz_ini");
  const char* files[] = {
      "[NORV]\nENCRYPT=0\n",
      "; scrambled logs\n[norv]\r\nencrypt = 1\r\n",
      "[other]\nENCRYPT=5\n[NORV]\nENCRYPT=-12abc\nENCRYPT=3\n",
      "ENCRYPT=7\n[NORV]\n  ENCRYPT : 99999999999\n",
      "[NORV]\nENCRYPT=\n  continued\n# note\n[ NORV ]\nENCRYPT=+4",
      "\xEF\xBB\xBF[NORV]\nENCRYPT=0x10\n[a b]\nk=1\n[]\n=2\n",
  };
  for (const char* f : files)
    for (uint8_t pick : {0, 1, 6})  // section and key: NORV/ENCRYPT, norv/ENCRYPT, NORV/encrypt
      out.Write(Bytes(1, char(pick)) + f);
  out.Write(Bytes(1, 0) + "[NORV]\nENCRYPT=" + Bytes(300, '1') + "\n");
}

// A literal with its NUL bytes (the argument separators) kept.
template <size_t N>
Bytes WithNuls(const char (&s)[N]) {
  return Bytes(s, N - 1);
}

void CommandLineSeeds(const fs::path& root) {
  SeedDir out(root, "fuzz_command_line");
  const Bytes lists[] = {
      WithNuls("/usr/bin/prog\0-a\0two words"),
      WithNuls("/opt/my dir/prog\0q\"uote\0trailing\\\0\0tab\there"),
      WithNuls("p\0\\\\srv\\share\0end\\\\\0\\\"\0\"\"\0  spaced  "),
      Bytes(R"(p a\\\"b "c d" e"f""g)"),
      Bytes("\"quoted prog\" \"\" x\t\"y"),
  };
  for (const Bytes& l : lists) out.Write(l);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s OUT_DIR H264_CLIP H265_CLIP\n", argv[0]);
    return 2;
  }
  try {
    fs::path root = argv[1];
    auto h264 = AccessUnits(argv[2], pellion_tools::Codec::kH264);
    auto hevc = AccessUnits(argv[3], pellion_tools::Codec::kHevc);
    if (h264.empty() || hevc.empty()) throw pellion_tools::StreamError("a clip has no frames");
    TransportSeeds(root, h264[0]);
    ReceiverSeeds(root, h264);
    DecoderSeeds(root, h264, hevc);
    IniSeeds(root);
    CommandLineSeeds(root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
