// TComSelect: the toolkit-free work behind a port-bound selector. It fills
// the item list for one port property from the library's setting texts (or
// the list of serial ports), converts a picked text into a setting value,
// finds the port's current value in the list and writes a choice into the
// port.
//
// A plain record with operations: every field is public, and a new object
// has every field zero (empty name, ordinal-0 enumeration values, no list,
// cpNone, no port, AutoApply false). Neither the list nor the port is owned.
//
// Thread safety: main thread only, like the port it serves.
#pragma once

#include <string>

#include "CPort/ComTypes.h"
#include "CPortCtl/ComItems.h"
#include "CPortCtl/ComProperty.h"

namespace CPort {
class TCustomComPort;
}

namespace CPortCtl {

class TComSelect {
 public:
  // Held values; only the one of the served kind is used.
  std::string Port;
  CPort::TBaudRate BaudRate = CPort::brCustom;
  CPort::TDataBits DataBits = CPort::dbFive;
  CPort::TStopBits StopBits = CPort::sbOneStopBit;
  CPort::TParityBits Parity = CPort::prNone;
  CPort::TFlowControl FlowControl = CPort::fcHardware;

  TComItems* Items = nullptr;
  TComProperty ComProperty = cpNone;
  CPort::TCustomComPort* ComPort = nullptr;
  bool AutoApply = false;

  // Stores `value` and refills Items (when there is a list). For cpPort the
  // list is cleared first, so a failing ListSerialPorts (EComPort) leaves it
  // empty.
  void SetComProperty(TComProperty value);
  // Holds `text` as the served value (parsed with the setting texts), then
  // applies it when AutoApply is set. Errors of the port's setters propagate.
  void SelectText(const std::string& text);
  // Writes the held value of the served kind into the bound port; nothing
  // without a port or for cpNone.
  void ApplyToPort();
  // Sets `index` to the first item naming the port's current value (ASCII
  // case folded, whole text), or -1; a found item's value becomes the held
  // value. Without a port `index` is left as it is and false is returned.
  bool FindCurrent(int& index);

  // The text of the port's current value of the served kind ("" for cpNone).
  std::string CurrentText() const;
};

// True when a and b are equal with the ASCII letters folded.
bool SameTextAscii(const std::string& a, const std::string& b);

}  // namespace CPortCtl
