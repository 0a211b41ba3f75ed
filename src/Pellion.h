// Pellion: the plug-in object behind IAVStreamInterface and the owner of the video channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "NKMsgFrameThread.h"
#include "VStreamDecoderThread.h"
#include "pellion/pellion.h"
#include "sigslot/sigslot.h"

class Pellion
    : public IAVStreamInterface,
      public NKMsgFrameThread,
      public NORV::sHelper::sigslot::has_slots<NORV::sHelper::sigslot::multi_threaded_local> {
 public:
  Pellion();
  ~Pellion() override;

  // The process's one instance, made on first use; null when making it failed.
  static std::shared_ptr<Pellion> GetInstance();

  // IAVStreamInterface, host thread.
  int32_t StartChan() override;
  void StopChan() override;
  void SetTcpOper(ITcpOper* oper) override;
  HWND StartScrcpy(HWND parent, uint32_t parent_msg) override;
  void StopScrcpy() override;
  void ShowScrcpy(bool visible) override;

  // Slot of the decoder's key-frame request; runs on the decoder thread.
  void TcpSendData(int& result, uint32_t code, const void* body, uint32_t length);

  // The UDP port the channel listens on.
  static constexpr int kStreamPort = 9111;

 protected:
  // "Pellion" worker thread.
  void Init() override;
  void Cleanup() override;

 private:
  // Built with the channel: its publisher creates the shared section and event at once.
  VStreamDecoderThread decoder_;
  // Whether the decoder runs; false also when Init stopped it again because the stream port
  // could not be bound. Written by the worker's Init and Cleanup, read by StartChan after Start
  // returned (Start waits for Init) and before Stop.
  std::atomic<bool> decoding_{false};
  // Written by the host thread, read on the decoder thread.
  std::atomic<ITcpOper*> tcp_oper_{nullptr};
};
