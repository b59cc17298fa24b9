// Sends "ping" and a line end to the port named on the command line and
// waits up to five seconds for "pong" to come back.
#include <cstdio>
#include <string>

#include "CPort/ComErrors.h"
#include "CPort/ComPort.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ping COMn\n");
    return 2;
  }
  try {
    CPort::TComPort port;
    port.SetPort(argv[1]);
    port.SetBaudRate(CPort::br115200);
    port.SetEvents({});
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(5000);
    port.OpenPort();
    port.SendText("ping\r\n");
    std::string reply;
    while (reply.size() < 4) {
      std::string part;
      if (port.ReceiveText(part, static_cast<std::int32_t>(4 - reply.size())) == 0) break;
      reply += part;
    }
    std::printf("received: %s\n", reply.c_str());
    return reply == "pong" ? 0 : 1;
  } catch (const CPort::EComPort& e) {
    std::fprintf(stderr, "ping: %s\n", e.what());
    return 1;
  }
}
