#include "error_report.h"

#include "CPort/ComErrors.h"
#include "CPort/storage/Registry.h"
#include "exit_codes.h"

namespace KelvatPort {

std::string DescribeError(const std::exception_ptr& error) {
  std::string out = "kelvat-port: ";
  try {
    std::rethrow_exception(error);
  } catch (const CPort::EComPort& e) {
    out += std::string(e.what()) + "\n";
    if (!e.Device().empty()) out += "  device: " + e.Device() + "\n";
    if (e.OsErrorCode() != -1) out += "  system: " + e.OsErrorText() + "\n";
    if (const std::string hint = e.Hint(); !hint.empty()) out += "  hint: " + hint + "\n";
  } catch (const UsageError& e) {
    out += std::string(e.what()) + "\n";
  } catch (const std::exception& e) {
    out += std::string(e.what()) + "\n";
  } catch (...) {
    out += "unknown error\n";
  }
  return out;
}

int ExitCodeFor(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const UsageError&) {
    return kExitUsage;
  } catch (const FileError&) {
    return kExitFileFailed;
  } catch (const CPort::ERegistryException&) {
    return kExitFileFailed;
  } catch (const CPort::EComPort& e) {
    // The storage errors of the INI file.
    const int code = e.PortErrorCode();
    return (code == CPort::PortErr::StoreFailed || code == CPort::PortErr::LoadFailed) ? kExitFileFailed
                                                                                       : kExitPortFailed;
  } catch (...) {
    return kExitPortFailed;
  }
}

}  // namespace KelvatPort
