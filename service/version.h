#pragma once

#include <QString>

// The software version the service announces to its peers.
extern const QString g_sSwVersion;
