// CUsb: what a mounted stick carries for the product, and how large it is.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "usb/platform.h"

#include <QDir>

#include <cerrno>
#include <cstdio>

namespace {

const int g_iPathBufferSize = 256;

// Only a missing entry counts as absent; a plain file or an unreadable entry is present.
bool isPresent(const char* szPath)
{
    struct stat oStat;
    return !(Platform::stat(szPath, &oStat) != 0 && errno == ENOENT);
}

void formatPath(char* szPath, const char* szMountDir, const char* szFolder)
{
    snprintf(szPath, g_iPathBufferSize - 1, "%s%s", szMountDir, szFolder);
}

} // namespace

void CUsb::CheckMount(const char* szMountDir)
{
    char szPath[g_iPathBufferSize];

    m_oRunUsb.setUsbMountPath(QString::fromLatin1(szMountDir));
    m_oRunUsb.setUsbDeviceUnmounted(false);

    formatPath(szPath, szMountDir, "/Veltrano/update");
    if (!isPresent(szPath)) {
        CUSB_WARNING << "Update directory not found on USB-Stick " << szPath;
        m_oRunUsb.setUpdateFileFound(false);
    } else {
        CUSB_DEBUG << "Update directory exists on USB-Stick " << szPath;
        m_oRunUsb.setUsbDataAvailable(true);
        if (CheckUpdateDir(szPath)) {
            CUSB_DEBUG << "Found update file in " << szPath;
            m_oRunUsb.setUpdateFileFound(true);
        } else {
            CUSB_DEBUG << "No valid update file in " << szPath;
            m_oRunUsb.setUpdateFileFound(false);
        }
    }

    formatPath(szPath, szMountDir, "/Veltrano/database");
    if (!isPresent(szPath)) {
        m_oRunUsb.setDatabaseDirFound(false);
    } else {
        CUSB_DEBUG << "Database directory exists on USB-Stick " << szPath;
        m_oRunUsb.setUsbDataAvailable(true);
        m_oRunUsb.setDatabaseDirFound(true);
    }

    formatPath(szPath, szMountDir, "/Veltrano/logbook");
    if (!isPresent(szPath)) {
        CUSB_WARNING << "Log directory not found on USB-Stick " << szPath;
        m_oRunUsb.setLogbookDirFound(false);
    } else {
        CUSB_DEBUG << "Log directory exists on USB-Stick  " << szPath;
        m_oRunUsb.setUsbDataAvailable(true);
        m_oRunUsb.setLogbookDirFound(true);
    }

    // An update folder with nothing in it is present but offers nothing.
    if (!m_oRunUsb.getUpdateFileFound() && !m_oRunUsb.getDatabaseDirFound() && !m_oRunUsb.getLogbookDirFound()) {
        m_oRunUsb.setUsbDataAvailable(false);
    }

    struct statvfs oFileSystem;
    if (Platform::statvfs(szMountDir, &oFileSystem) != 0) {
        CUSB_DEBUG << "'statvfs' failed";
    } else {
        CUSB_DEBUG << "'statvfs' reports  f_frsize =  " << oFileSystem.f_frsize
                   << " f_blocks = " << oFileSystem.f_blocks;
        // The total size, formed in 64 bits: sticks above 4 GiB are common.
        m_oRunUsb.setUsbCapacity(static_cast<qint64>(oFileSystem.f_frsize) * static_cast<qint64>(oFileSystem.f_blocks));
    }

    m_oRunUsb.setUsbDeviceState(2);
    SendDbus();
}

bool CUsb::CheckUpdateDir(const char* szUpdateDir)
{
    // The default filter counts "." and ".." and leaves hidden entries out.
    const QDir oDir(QString::fromLatin1(szUpdateDir));
    const qsizetype iCount = oDir.count();
    CUSB_DEBUG << "Found " << iCount << " files in Update dir";
    return iCount > 2;
}
