#include "mainUnit/IntegerText.h"

#include "CPort/IntegerText.h"
#include "mainUnit/WindowErrors.h"

namespace MainUnit {

std::int32_t StrToInt(const QString& text) {
  // Characters beyond ASCII are never digits, whatever their bytes.
  const QByteArray bytes = text.toUtf8();
  const auto value = CPort::ParseInt32(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (!value) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
  return *value;
}

}  // namespace MainUnit
