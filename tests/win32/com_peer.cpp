#include "com_peer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

}  // namespace

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

ComPeer::ComPeer() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || !UnderWine()) {
    error_ = "needs Wine with WINEPREFIX set (the stage of ./test.sh --windows)";
    return;
  }
  const unsigned number = 100 + ::GetCurrentProcessId() % 150;
  portName_ = "COM" + std::to_string(number);
  const std::string link = std::string(prefix) + "/dosdevices/com" + std::to_string(number);
  const std::string ready = std::string(prefix) + "/com-peer-" + std::to_string(::GetCurrentProcessId()) + ".ready";
  std::string command = std::string("/usr/bin/python3 ") + COM_PEER_SCRIPT + " " + link + " " + ready;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    error_ = "cannot start the peer: error " + std::to_string(::GetLastError());
    return;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  // The peer writes its control port once the link is in place; Wine sees
  // the Unix file system as drive Z:.
  int port = 0;
  for (int attempt = 0; attempt < 500 && port == 0; ++attempt) {
    std::ifstream in("Z:" + ready);
    if (!(in >> port)) {
      port = 0;
      ::Sleep(20);
    }
  }
  std::remove(("Z:" + ready).c_str());
  if (port == 0) {
    error_ = "the peer did not come up";
    return;
  }
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error_ = "cannot reach the peer: error " + std::to_string(::WSAGetLastError());
    ::closesocket(s);
    return;
  }
  socket_ = s;
}

ComPeer::~ComPeer() {
  if (socket_ == INVALID_SOCKET) return;
  Command("quit");
  ::closesocket(socket_);
  ::WSACleanup();
}

std::string ComPeer::Command(const std::string& line) {
  const std::string out = line + "\n";
  if (::send(socket_, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) return {};
  for (;;) {
    const auto end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string answer = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return answer;
    }
    char buffer[4096];
    const int n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void ComPeer::Write(const std::string& bytes) { Command("write " + Hex(bytes)); }

std::string ComPeer::Read(std::size_t count, int ms) {
  const std::string answer = Command("read " + std::to_string(count) + " " + std::to_string(ms));
  return answer.rfind("data ", 0) == 0 ? Unhex(answer.substr(5)) : std::string();
}

ComPeer::LineSettings ComPeer::Settings() {
  LineSettings s;
  unsigned long speed = 0, cflag = 0, iflag = 0;
  if (std::sscanf(Command("termios").c_str(), "speed %lu cflag %lu iflag %lu", &speed, &cflag, &iflag) == 3) {
    s.speed = static_cast<std::uint32_t>(speed);
    s.cflag = static_cast<std::uint32_t>(cflag);
    s.iflag = static_cast<std::uint32_t>(iflag);
  }
  return s;
}
