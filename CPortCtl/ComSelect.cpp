#include "CPortCtl/ComSelect.h"

#include <vector>

#include "CPort/ComPort.h"
#include "CPort/PortList.h"
#include "CPort/SettingTexts.h"

namespace CPortCtl {
namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Adds the text of every value of an enumeration, first to last.
template <typename Enum, typename TextFn>
void AddAll(TComItems& items, Enum last, TextFn text) {
  for (int v = 0; v <= static_cast<int>(last); ++v) items.Add(text(static_cast<Enum>(v)));
}

}  // namespace

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

void TComSelect::SetComProperty(TComProperty value) {
  ComProperty = value;
  if (!Items) return;
  Items->Clear();
  switch (ComProperty) {
    case cpNone:
      break;
    case cpPort: {
      std::vector<std::string> names;
      CPort::ListSerialPorts(names);
      for (const auto& name : names) Items->Add(name);
      break;
    }
    case cpBaudRate:
      AddAll(*Items, CPort::br256000, CPort::BaudRateText);
      break;
    case cpDataBits:
      AddAll(*Items, CPort::dbEight, CPort::DataBitsText);
      break;
    case cpStopBits:
      AddAll(*Items, CPort::sbTwoStopBits, CPort::StopBitsText);
      break;
    case cpParity:
      AddAll(*Items, CPort::prSpace, CPort::ParityText);
      break;
    case cpFlowControl:
      AddAll(*Items, CPort::fcCustom, CPort::FlowControlText);
      break;
  }
}

void TComSelect::SelectText(const std::string& text) {
  switch (ComProperty) {
    case cpNone: break;
    case cpPort: Port = text; break;
    case cpBaudRate: BaudRate = CPort::ParseBaudRate(text); break;
    case cpDataBits: DataBits = CPort::ParseDataBits(text); break;
    case cpStopBits: StopBits = CPort::ParseStopBits(text); break;
    case cpParity: Parity = CPort::ParseParity(text); break;
    case cpFlowControl: FlowControl = CPort::ParseFlowControl(text); break;
  }
  if (AutoApply) ApplyToPort();
}

void TComSelect::ApplyToPort() {
  if (!ComPort) return;
  switch (ComProperty) {
    case cpNone: break;
    case cpPort: ComPort->SetPort(Port); break;
    case cpBaudRate: ComPort->SetBaudRate(BaudRate); break;
    case cpDataBits: ComPort->SetDataBits(DataBits); break;
    case cpStopBits: ComPort->SetStopBits(StopBits); break;
    case cpParity: ComPort->Parity().SetBits(Parity); break;
    case cpFlowControl: ComPort->FlowControl().SetFlowControl(FlowControl); break;
  }
}

std::string TComSelect::CurrentText() const {
  if (!ComPort) return {};
  switch (ComProperty) {
    case cpNone: return {};
    case cpPort: return ComPort->Port();
    case cpBaudRate: return CPort::BaudRateText(ComPort->BaudRate());
    case cpDataBits: return CPort::DataBitsText(ComPort->DataBits());
    case cpStopBits: return CPort::StopBitsText(ComPort->StopBits());
    case cpParity: return CPort::ParityText(ComPort->Parity().Bits());
    case cpFlowControl: return CPort::FlowControlText(ComPort->FlowControl().FlowControl());
  }
  return {};
}

bool TComSelect::FindCurrent(int& index) {
  if (!ComPort) return false;
  index = -1;
  if (ComProperty == cpNone || !Items) return true;
  const std::string current = CurrentText();
  for (int i = 0; i < Items->Count(); ++i) {
    if (SameTextAscii(Items->Get(i), current)) {
      index = i;
      break;
    }
  }
  if (index >= 0) {
    // Hold the value as the list writes it; the port keeps its own spelling.
    const std::string item = Items->Get(index);
    const bool autoApply = AutoApply;
    AutoApply = false;
    SelectText(item);
    AutoApply = autoApply;
  }
  return true;
}

}  // namespace CPortCtl
