#include "mainUnit/ErrorText.h"

#include <cxxabi.h>

#include <QFileInfo>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace MainUnit {

QString WithFullStop(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

QString ApplicationTitle(const QString& executablePath) {
  QString name = QFileInfo(executablePath).fileName();
  const qsizetype dot = name.indexOf(u'.');
  if (dot >= 0) name.truncate(dot);
  if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
  return name;
}

QString ExceptionMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return QStringLiteral("Unknown exception");
  }
}

QString ExceptionClassName(std::exception_ptr error) {
  const std::type_info* type = nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    type = &typeid(e);
  } catch (...) {
    type = abi::__cxa_current_exception_type();
  }
  if (!type) return QStringLiteral("Exception");
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                                   std::free);
  QString name = QString::fromUtf8(status == 0 && demangled ? demangled.get() : type->name());
  const qsizetype colon = name.lastIndexOf(QStringLiteral("::"));
  return colon >= 0 ? name.mid(colon + 2) : name;
}

QString StartupFailureText(const QString& className, const QString& module, const void* address,
                           const QString& message) {
  QString text = QStringLiteral("Exception %1 in module %2 at %3.\n")
                     .arg(className, module,
                          QStringLiteral("%1").arg(reinterpret_cast<quintptr>(address), 16, 16, QLatin1Char('0')).toUpper());
  text += message;
  if (!message.endsWith(u'.')) text += u'.';
  return text;
}

}  // namespace MainUnit
