// The texts of the window's error boxes.
#pragma once

#include <QString>
#include <exception>

namespace MainUnit {

// Appends "." when `message` is not empty and the code of its last character
// is above that of "." (46): a message ending in "." or ")" gets none.
QString WithFullStop(const QString& message);

// The application's title from the executable's path: the file name without
// its directory and from its first "." on, the first letter as it is and the
// rest in lower case ("/usr/bin/Kelvat-CommPort.bin" -> "Kelvat-commport").
QString ApplicationTitle(const QString& executablePath);

// The message of an exception (UTF-8 what() for std::exception).
QString ExceptionMessage(std::exception_ptr error);
// The class name of an exception without namespaces ("EComPort").
QString ExceptionClassName(std::exception_ptr error);

// The text of the box shown when the window cannot be built:
// "Exception <class> in module <module> at <address>." + LF + the message,
// with a full stop unless it already ends in one.
QString StartupFailureText(const QString& className, const QString& module, const void* address,
                           const QString& message);

}  // namespace MainUnit
