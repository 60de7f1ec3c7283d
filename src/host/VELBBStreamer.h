// The library's message streamer: a compact, bounds-checked byte format for service payloads.
#ifndef VELP2P_HOST_VELBBSTREAMER_H
#define VELP2P_HOST_VELBBSTREAMER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velp2p/VELBaseUnknown.h"
#include "velp2p/VELIBBStreamer.h"

// Obtained through VELBBMessage::QueryInterface(IID_VELIBBStreamer); starts with one reference.
class VELBBStreamer : public VELBaseUnknown, public VELIBBStreamer {
  VEL_DECLARE_CLASS(VELBBStreamer)
 public:
  VELBBStreamer();

  unsigned long AddRef() override { return VELBaseUnknown::AddRef(); }
  unsigned long Release() override { return VELBaseUnknown::Release(); }
  // Answers IID_VELIBBStreamer besides what VELBaseUnknown answers.
  VELResult QueryInterface(const VELIID& iid, void** object) override;

  VELResult BeginStream() override;
  VELResult StreamByte(unsigned char value) override;
  VELResult StreamInt(int32_t value) override;
  VELResult StreamString(const char* text) override;
  VELResult StreamFixedByteArray(const void* bytes, int length) override;
  void* EndStream(int& length) override;
  VELResult ReleaseStreamedBuffer() override;

  VELResult BeginUnstream(const void* payload, int length) override;
  VELResult UnstreamByte(unsigned char& value) override;
  VELResult UnstreamInt(int32_t& value) override;
  VELResult UnstreamString(std::string& text) override;
  VELResult UnstreamVariableArrayLength(int& length) override;
  VELResult UnstreamFixedByteArray(void* buffer, int length) override;
  VELResult EndUnstream() override;

 protected:
  ~VELBBStreamer() override;

 private:
  // Appends size bytes when writing is under way and the payload stays within an int's range.
  bool Put(const void* bytes, size_t size);
  // The next size bytes of the payload being read, or null when fewer remain; consumes them.
  const uint8_t* Take(size_t size);
  size_t Remaining() const { return _input.size() - _offset; }

  std::vector<uint8_t> _output;  // the payload being written, or the one EndStream handed out
  bool _streaming;               // between BeginStream and EndStream
  bool _streamed;                // EndStream handed _output out and it was not released yet
  std::vector<uint8_t> _input;   // copy of the payload being read
  size_t _offset;                // read position in _input
  bool _unstreaming;             // between BeginUnstream and EndUnstream
};

#endif
