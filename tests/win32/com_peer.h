// The far end of a Wine COM port for the end-to-end tests: com_peer.py run
// on the Linux side (Wine starts Unix programs through CreateProcess), which
// makes a pseudo-terminal pair, links it as dosdevices/comN of the test's
// Wine prefix and takes commands over a TCP connection on 127.0.0.1.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>

class ComPeer {
 public:
  // Starts the peer for a COM name of its own; Ok() tells whether it runs.
  ComPeer();
  ~ComPeer();
  ComPeer(const ComPeer&) = delete;
  ComPeer& operator=(const ComPeer&) = delete;

  bool Ok() const { return socket_ != INVALID_SOCKET; }
  const std::string& Error() const { return error_; }
  // "COM123": the name the port opens.
  const std::string& PortName() const { return portName_; }

  void Write(const std::string& bytes);
  // Up to `count` bytes, waiting up to `ms` for them.
  std::string Read(std::size_t count, int ms = 5000);
  struct LineSettings {
    std::uint32_t speed = 0;
    std::uint32_t cflag = 0;
    std::uint32_t iflag = 0;
  };
  LineSettings Settings();

 private:
  std::string Command(const std::string& line);
  SOCKET socket_ = INVALID_SOCKET;
  std::string portName_;
  std::string error_;
  std::string pending_;
};

// True when running under Wine, whose serial layer differs from Windows in
// known ways; the tests skip those cases there with the reason.
bool UnderWine();
