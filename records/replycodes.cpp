#include "records/replycodes.h"

#include <iterator>

namespace {

struct SReplyCodeName
{
    int iCode;
    const char* szName;
};

const SReplyCodeName REPLY_CODE_NAMES[] = {
    {REPLY_NO_SUCCESS, "REPLY_NO_SUCCESS"},
    {REPLY_SUCCESS, "REPLY_SUCCESS"},
    {REPLY_FALSE, "REPLY_FALSE"},
    {REPLY_TRUE, "REPLY_TRUE"},
    {SUCCESS_AFTER_DELETE_ONE_ROW, "SUCCESS_AFTER_DELETE_ONE_ROW"},
    {VALIDATION_ERROR, "VALIDATION_ERROR"},
    {WRONG_TYPE_FOR_THIS_SET, "WRONG_TYPE_FOR_THIS_SET"},
    {HASH_COMPARE_ERROR, "HASH_COMPARE_ERROR"},
    {DB_ACCESS_WHILE_BACKUP, "DB_ACCESS_WHILE_BACKUP"},
    {Object_Array_Pointer_NULL, "Object_Array_Pointer_NULL"},
    {Delete_ROWID_NULL, "Delete_ROWID_NULL"},
    {Delete_CompNo_NULL, "Delete_CompNo_NULL"},
    {UPDATE_VALUE_ERROR, "UPDATE_VALUE_ERROR"},
    {PARAMETER_ERROR, "PARAMETER_ERROR"},
    {SQL_QUERY_EXEC_SELECT, "SQL_QUERY_EXEC_SELECT"},
    {SQL_QUERY_EXEC_SELECT_1, "SQL_QUERY_EXEC_SELECT_1"},
    {SQL_QUERY_EXEC_SELECT_LAST, "SQL_QUERY_EXEC_SELECT_LAST"},
    {SQL_QUERY_EXEC_SQLITE_VERSION, "SQL_QUERY_EXEC_SQLITE_VERSION"},
    {SQL_QUERY_EXEC_BIND, "SQL_QUERY_EXEC_BIND"},
    {SQL_QUERY_EXEC_INSERT, "SQL_QUERY_EXEC_INSERT"},
    {SQL_QUERY_EXEC_NO_ROWS_AFFECTED, "SQL_QUERY_EXEC_NO_ROWS_AFFECTED"},
    {SQL_QUERY_EXEC_DELETE, "SQL_QUERY_EXEC_DELETE"},
    {SQL_QUERY_EXEC_CLEAR, "SQL_QUERY_EXEC_CLEAR"},
    {SQL_QUERY_EXEC_CLEAR_LAST, "SQL_QUERY_EXEC_CLEAR_LAST"},
    {SQL_QUERY_EXEC_PRAGMA, "SQL_QUERY_EXEC_PRAGMA"},
    {SQL_QUERY_EXEC_CREATE, "SQL_QUERY_EXEC_CREATE"},
    {SQL_QUERY_EXEC_CREATE_INDEX, "SQL_QUERY_EXEC_CREATE_INDEX"},
    {SQL_QUERY_PREPARE_BIND, "SQL_QUERY_PREPARE_BIND"},
    {SQL_BIND_DATA_POINTER_0, "SQL_BIND_DATA_POINTER_0"},
    {SQL_SELECT_DATA_POINTER_0, "SQL_SELECT_DATA_POINTER_0"},
    {MAX_ROWS_ENABLED_EXCEED, "MAX_ROWS_ENABLED_EXCEED"},
    {LOGBOOK_MAIN_LIST_EMPTY, "LOGBOOK_MAIN_LIST_EMPTY"},
    {MAX_ROWS_EXCEED, "MAX_ROWS_EXCEED"},
    {TABLE_EMPTY, "TABLE_EMPTY"},
};

// Indexed by the mode.
const char* const MAIN_MODE_NAMES[] = {
    "MainModeUndefined",       "MainModeACK",          "MainModeError",          "MainModeLoading",
    "MainModeDischarge",       "MainModeStatus",       "MainModeMenu",           "MainModeRemote",
    "MainModeCalibrate",       "MainModeTouchCal",     "MainModeWaitSync",       "MainModeCompEmptyTest",
    "MainModeLoadingEnd",      "MainModeDischargeEnd", "MainModeManLoadingPlan", "MainModeUpdate",
    "MainModeLogIn",           "MainModePreset",       "MainModeNoDriver",       "MainModeCustomerProfile",
    "MainModeInclinationTour", "MainModeCalibrateFpm", "MainModeDrainFpm",
};

} // namespace

QString ReplyCodeName(int iReplyCode)
{
    for (const SReplyCodeName& oEntry : REPLY_CODE_NAMES) {
        if (oEntry.iCode == iReplyCode) {
            return QString::fromLatin1(oEntry.szName);
        }
    }
    return QString::number(iReplyCode);
}

QString MainModeName(int iMainMode)
{
    if (iMainMode < 0 || iMainMode >= int(std::size(MAIN_MODE_NAMES))) {
        return QString::number(iMainMode);
    }
    return QString::fromLatin1(MAIN_MODE_NAMES[iMainMode]);
}
