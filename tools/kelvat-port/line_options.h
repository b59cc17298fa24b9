// The line settings given by option (--baud, --data, --parity, --stop,
// --flow), read strictly: the library's own parsers fall back to a default
// for a text they do not know, so "--parity sometimes" would quietly mean
// "None". Here only the settings' own texts (any ASCII case) are taken, and
// any other baud rate in bits per second.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CPort/ComPort.h"
#include "arguments.h"

namespace KelvatPort {

struct LineOptions {
  std::optional<CPort::TBaudRate> baudRate;
  std::int32_t customBaudRate = 0;  // with baudRate brCustom
  std::optional<CPort::TDataBits> dataBits;
  std::optional<CPort::TParityBits> parity;
  std::optional<CPort::TStopBits> stopBits;
  std::optional<CPort::TFlowControl> flowControl;
};

// The five options, for a command's option list.
std::vector<OptionSpec> LineOptionSpecs();
// Their help, listing the texts each takes.
std::string LineOptionsHelp();

// Raises UsageError naming the option, the text and the accepted texts.
LineOptions ParseLineOptions(const Arguments& arguments);
void ApplyLineOptions(const LineOptions& options, CPort::TCustomComPort& port);

// Sets the port's write timeouts so that a write of `bytes` bytes gives up
// `timeoutMs` after the time the line needs to send them at the port's rate
// (11 bit times per byte at most: start, 8 data, parity, stop), rounded up
// to a whole millisecond once for the whole write. 0: no time limit.
void LimitWriteTime(CPort::TCustomComPort& port, std::int64_t bytes, std::int32_t timeoutMs);

// "115200 8 None 1, flow None" (the rate in bits per second).
std::string LineSettingsSummary(const CPort::TCustomComPort& port);

}  // namespace KelvatPort
