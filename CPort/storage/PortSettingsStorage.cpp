// The four storage operations of TCustomComPort. One walk over the settings
// serves both stores: saving visits every key of the selected groups and
// hands its value to a writer; loading asks a reader for each key and applies
// the answer through the port's setter before the next key is read, so a
// failure part-way leaves the earlier keys applied.
//
// A save is one update of its store: the INI file is replaced once with every
// key, the registry writes them in one transaction. A save that fails or is
// killed part-way leaves the stored record as it was, never half old and half
// new.
#include <cstdint>
#include <string>

#include "CPort/ComPort.h"
#include "CPort/SettingTexts.h"
#include "CPort/storage/IniFile.h"
#include "CPort/storage/Registry.h"

namespace CPort {

namespace {

// Where saved values go.
class SettingsSink {
 public:
  virtual ~SettingsSink() = default;
  virtual void Text(const char* key, const std::string& value) = 0;
  virtual void Integer(const char* key, std::int32_t value) = 0;
};

// Where loaded values come from. `current` is the value that saving would
// write for the setting now; a store that has no value for the key answers it.
class SettingsSource {
 public:
  virtual ~SettingsSource() = default;
  virtual std::string Text(const char* key, const std::string& current) = 0;
  virtual std::int32_t Integer(const char* key, std::int32_t current) = 0;
};

class IniSink final : public SettingsSink {
 public:
  IniSink(TIniFile& ini, std::string section) : ini_(ini), section_(std::move(section)) {}
  void Text(const char* key, const std::string& value) override { ini_.WriteString(section_, key, value); }
  void Integer(const char* key, std::int32_t value) override { ini_.WriteInteger(section_, key, value); }

 private:
  TIniFile& ini_;
  std::string section_;
};

class IniSource final : public SettingsSource {
 public:
  IniSource(TIniFile& ini, std::string section) : ini_(ini), section_(std::move(section)) {}
  std::string Text(const char* key, const std::string& current) override {
    return ini_.ReadString(section_, key, current);
  }
  std::int32_t Integer(const char* key, std::int32_t current) override {
    return ini_.ReadInteger(section_, key, current);
  }

 private:
  TIniFile& ini_;
  std::string section_;
};

class RegistrySink final : public SettingsSink {
 public:
  explicit RegistrySink(TRegistry& registry) : registry_(registry) {}
  void Text(const char* key, const std::string& value) override { registry_.WriteString(key, value); }
  void Integer(const char* key, std::int32_t value) override { registry_.WriteInteger(key, value); }

 private:
  TRegistry& registry_;
};

// The registry has no defaults: an absent text reads as empty (and so as
// each parse function's fallback), an absent integer raises.
class RegistrySource final : public SettingsSource {
 public:
  explicit RegistrySource(TRegistry& registry) : registry_(registry) {}
  std::string Text(const char* key, const std::string&) override { return registry_.ReadString(key); }
  std::int32_t Integer(const char* key, std::int32_t) override { return registry_.ReadInteger(key); }

 private:
  TRegistry& registry_;
};

// Groups are visited in this order, not in ordinal order; stored records
// depend on it.
void Save(const TCustomComPort& port, SettingsSink& out) {
  const TSavedGroups groups = port.SavedGroups();
  if (groups.Contains(sgLine)) {
    out.Text("Port", port.Port());
    out.Text("BaudRate", BaudRateText(port.BaudRate()));
    if (port.BaudRate() == brCustom) out.Integer("CustomBaudRate", port.CustomBaudRate());
    out.Text("StopBits", StopBitsText(port.StopBits()));
    out.Text("DataBits", DataBitsText(port.DataBits()));
    out.Text("Parity", ParityText(port.Parity().Bits()));
    out.Text("FlowControl", FlowControlText(port.FlowControl().FlowControl()));
  }
  if (groups.Contains(sgOther)) {
    out.Text("EventChar", CharText(port.EventChar()));
    out.Text("DiscardNull", YesNoText(port.DiscardNull()));
  }
  if (groups.Contains(sgParity)) {
    const TComParity& parity = port.Parity();
    out.Text("Parity.Check", YesNoText(parity.Check()));
    out.Text("Parity.Replace", YesNoText(parity.Replace()));
    out.Text("Parity.ReplaceChar", CharText(parity.ReplaceChar()));
  }
  if (groups.Contains(sgBuffer)) {
    out.Integer("Buffer.OutputSize", port.Buffer().OutputSize());
    out.Integer("Buffer.InputSize", port.Buffer().InputSize());
  }
  if (groups.Contains(sgTimeouts)) {
    const TComTimeouts& t = port.Timeouts();
    out.Integer("Timeouts.ReadInterval", t.ReadInterval());
    out.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
    out.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
    out.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
    out.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
  }
  if (groups.Contains(sgFlowControl)) {
    const TComFlowControl& f = port.FlowControl();
    out.Text("FlowControl.ControlRTS", RTSControlText(f.ControlRTS()));
    out.Text("FlowControl.ControlDTR", DTRControlText(f.ControlDTR()));
    out.Text("FlowControl.DSRSensitivity", YesNoText(f.DSRSensitivity()));
    out.Text("FlowControl.OutCTSFlow", YesNoText(f.OutCTSFlow()));
    out.Text("FlowControl.OutDSRFlow", YesNoText(f.OutDSRFlow()));
    out.Text("FlowControl.TxContinueOnXoff", YesNoText(f.TxContinueOnXoff()));
    out.Text("FlowControl.XonXoffIn", YesNoText(f.XonXoffIn()));
    out.Text("FlowControl.XonXoffOut", YesNoText(f.XonXoffOut()));
    out.Text("FlowControl.XoffChar", CharText(f.XoffChar()));
    out.Text("FlowControl.XonChar", CharText(f.XonChar()));
  }
}

// Each value is applied before the next key is read. The flow-control mode
// comes before the individual flow-control keys, so when both groups are
// loaded the individual keys decide.
constexpr std::int32_t kDefaultCustomBaudRate = 9600;

void Load(TCustomComPort& port, SettingsSource& in) {
  const TSavedGroups groups = port.SavedGroups();
  if (groups.Contains(sgLine)) {
    port.SetPort(in.Text("Port", port.Port()));
    port.SetBaudRate(ParseBaudRate(in.Text("BaudRate", BaudRateText(port.BaudRate()))));
    // Unlike the other keys, a missing custom rate falls back to 9600, not to
    // the port's current rate: stored files have always read that way.
    if (port.BaudRate() == brCustom) port.SetCustomBaudRate(in.Integer("CustomBaudRate", kDefaultCustomBaudRate));
    port.SetStopBits(ParseStopBits(in.Text("StopBits", StopBitsText(port.StopBits()))));
    port.SetDataBits(ParseDataBits(in.Text("DataBits", DataBitsText(port.DataBits()))));
    port.Parity().SetBits(ParseParity(in.Text("Parity", ParityText(port.Parity().Bits()))));
    TComFlowControl& f = port.FlowControl();
    f.SetFlowControl(ParseFlowControl(in.Text("FlowControl", FlowControlText(f.FlowControl()))));
  }
  if (groups.Contains(sgOther)) {
    port.SetEventChar(ParseCharText(in.Text("EventChar", CharText(port.EventChar()))));
    port.SetDiscardNull(ParseYesNo(in.Text("DiscardNull", YesNoText(port.DiscardNull()))));
  }
  if (groups.Contains(sgParity)) {
    TComParity& parity = port.Parity();
    parity.SetCheck(ParseYesNo(in.Text("Parity.Check", YesNoText(parity.Check()))));
    parity.SetReplace(ParseYesNo(in.Text("Parity.Replace", YesNoText(parity.Replace()))));
    parity.SetReplaceChar(ParseCharText(in.Text("Parity.ReplaceChar", CharText(parity.ReplaceChar()))));
  }
  if (groups.Contains(sgBuffer)) {
    TComBuffer& b = port.Buffer();
    b.SetOutputSize(in.Integer("Buffer.OutputSize", b.OutputSize()));
    b.SetInputSize(in.Integer("Buffer.InputSize", b.InputSize()));
  }
  if (groups.Contains(sgTimeouts)) {
    TComTimeouts& t = port.Timeouts();
    t.SetReadInterval(in.Integer("Timeouts.ReadInterval", t.ReadInterval()));
    t.SetReadTotalConstant(in.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant()));
    t.SetReadTotalMultiplier(in.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
    t.SetWriteTotalConstant(in.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
    t.SetWriteTotalMultiplier(in.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
  }
  if (groups.Contains(sgFlowControl)) {
    TComFlowControl& f = port.FlowControl();
    f.SetControlRTS(ParseRTSControl(in.Text("FlowControl.ControlRTS", RTSControlText(f.ControlRTS()))));
    f.SetControlDTR(ParseDTRControl(in.Text("FlowControl.ControlDTR", DTRControlText(f.ControlDTR()))));
    f.SetDSRSensitivity(ParseYesNo(in.Text("FlowControl.DSRSensitivity", YesNoText(f.DSRSensitivity()))));
    f.SetOutCTSFlow(ParseYesNo(in.Text("FlowControl.OutCTSFlow", YesNoText(f.OutCTSFlow()))));
    f.SetOutDSRFlow(ParseYesNo(in.Text("FlowControl.OutDSRFlow", YesNoText(f.OutDSRFlow()))));
    f.SetTxContinueOnXoff(ParseYesNo(in.Text("FlowControl.TxContinueOnXoff", YesNoText(f.TxContinueOnXoff()))));
    f.SetXonXoffIn(ParseYesNo(in.Text("FlowControl.XonXoffIn", YesNoText(f.XonXoffIn()))));
    f.SetXonXoffOut(ParseYesNo(in.Text("FlowControl.XonXoffOut", YesNoText(f.XonXoffOut()))));
    f.SetXoffChar(ParseCharText(in.Text("FlowControl.XoffChar", CharText(f.XoffChar()))));
    f.SetXonChar(ParseCharText(in.Text("FlowControl.XonChar", CharText(f.XonChar()))));
  }
}

// Runs `save` inside one update of `store`; an error part-way ends the
// update without storing anything and reaches the caller.
template <typename Store, typename Save>
void InOneUpdate(Store& store, Save&& save) {
  store.BeginUpdate();
  try {
    save();
  } catch (...) {
    store.EndUpdate(false);
    throw;
  }
  store.EndUpdate();
}

}  // namespace

void TCustomComPort::SaveSettingsToRegistry(TRegistry& registry) {
  RegistrySink sink(registry);
  InOneUpdate(registry, [&] { Save(*this, sink); });
}

void TCustomComPort::SaveSettingsToIni(TIniFile& ini) {
  IniSink sink(ini, Name());
  InOneUpdate(ini, [&] { Save(*this, sink); });
}

void TCustomComPort::LoadSettingsFromRegistry(TRegistry& registry) {
  RegistrySource source(registry);
  Load(*this, source);
}

void TCustomComPort::LoadSettingsFromIni(TIniFile& ini) {
  IniSource source(ini, Name());
  Load(*this, source);
}

}  // namespace CPort
