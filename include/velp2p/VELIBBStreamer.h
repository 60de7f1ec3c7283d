// The message streamer: writes numbers, texts and byte arrays into a payload and reads them back in order.
#ifndef VELP2P_VELIBBSTREAMER_H
#define VELP2P_VELIBBSTREAMER_H

#include <cstdint>
#include <string>

#include "velp2p/VELIUnknown.h"

VELP2P_API extern const VELIID IID_VELIBBStreamer;

// A streamer serves one payload at a time: BeginStream, writes, EndStream, then ReleaseStreamedBuffer once
// the payload has been sent; or BeginUnstream, reads in the order of the writes, EndUnstream. Every read is
// checked against the length given to BeginUnstream and fails, without reading outside, when the payload is
// shorter than what it announces. Results are negative on failure.
class VELP2P_API VELIBBStreamer : public VELIUnknown {
 public:
  // Starts a new payload, discarding any earlier one (a payload from EndStream is then no longer valid).
  virtual VELResult BeginStream() = 0;
  virtual VELResult StreamByte(unsigned char value) = 0;
  virtual VELResult StreamInt(int32_t value) = 0;
  // Fails for a null text.
  virtual VELResult StreamString(const char* text) = 0;
  // Writes the length, then the bytes; read back with UnstreamVariableArrayLength and UnstreamFixedByteArray.
  virtual VELResult StreamFixedByteArray(const void* bytes, int length) = 0;
  // The finished payload and its length, or null (length 0) when no payload is being written. The payload
  // stays owned by the streamer and valid until ReleaseStreamedBuffer or the next BeginStream.
  virtual void* EndStream(int& length) = 0;
  virtual VELResult ReleaseStreamedBuffer() = 0;

  // Starts reading length bytes at payload; the streamer keeps its own copy, so payload may go at once.
  virtual VELResult BeginUnstream(const void* payload, int length) = 0;
  virtual VELResult UnstreamByte(unsigned char& value) = 0;
  virtual VELResult UnstreamInt(int32_t& value) = 0;
  // Reads what StreamString wrote.
  virtual VELResult UnstreamString(std::string& text) = 0;
  // Reads an array's length; fails when it is negative or larger than what remains of the payload.
  virtual VELResult UnstreamVariableArrayLength(int& length) = 0;
  // Reads length bytes into buffer.
  virtual VELResult UnstreamFixedByteArray(void* buffer, int length) = 0;
  virtual VELResult EndUnstream() = 0;

 protected:
  ~VELIBBStreamer() override = default;
};

#endif
