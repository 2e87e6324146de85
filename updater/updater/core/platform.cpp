// The parts of the platform interface that Qt code reaches directly.

#include "edition.h"
#include "platform.h"

QString executableSuffix()
{
    return QString::fromWCharArray(platform::executableSuffix());
}
