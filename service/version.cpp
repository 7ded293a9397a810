#include "service/version.h"

namespace {

const char* const g_szVersionNumber = "1.1.1 / ";
const char* const g_szReleaseTag = "vt-release-1.14.3_2025-12-17_1-0-gd9c016b";

} // namespace

const QString g_sSwVersion = QString::fromLatin1(g_szVersionNumber) + QString::fromLatin1(g_szReleaseTag);
