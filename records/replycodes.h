#pragma once

#include <QString>

// Result codes of the family's set and delete methods. Only REPLY_SUCCESS means success.
// The mixed-case names are the family's own spelling.
enum EReplyCode {
    REPLY_NO_SUCCESS = 0,
    REPLY_SUCCESS = 1,
    REPLY_FALSE = 2,
    REPLY_TRUE = 3,
    SUCCESS_AFTER_DELETE_ONE_ROW = 2001,
    VALIDATION_ERROR = -1000,
    WRONG_TYPE_FOR_THIS_SET = -1001,
    HASH_COMPARE_ERROR = -1002,
    DB_ACCESS_WHILE_BACKUP = -1003,
    Object_Array_Pointer_NULL = -1004,
    Delete_ROWID_NULL = -1005,
    Delete_CompNo_NULL = -1006,
    UPDATE_VALUE_ERROR = -2000,
    PARAMETER_ERROR = -2001,
    SQL_QUERY_EXEC_SELECT = -2010,
    SQL_QUERY_EXEC_SELECT_1 = -2011,
    SQL_QUERY_EXEC_SELECT_LAST = -2016,
    SQL_QUERY_EXEC_SQLITE_VERSION = -2017,
    SQL_QUERY_EXEC_BIND = -2020,
    SQL_QUERY_EXEC_INSERT = -2023,
    SQL_QUERY_EXEC_NO_ROWS_AFFECTED = -2025,
    SQL_QUERY_EXEC_DELETE = -2030,
    SQL_QUERY_EXEC_CLEAR = -2040,
    SQL_QUERY_EXEC_CLEAR_LAST = -2041,
    SQL_QUERY_EXEC_PRAGMA = -2050,
    SQL_QUERY_EXEC_CREATE = -2060,
    SQL_QUERY_EXEC_CREATE_INDEX = -2065,
    SQL_QUERY_PREPARE_BIND = -2070,
    SQL_BIND_DATA_POINTER_0 = -2080,
    SQL_SELECT_DATA_POINTER_0 = -2081,
    MAX_ROWS_ENABLED_EXCEED = -3000,
    LOGBOOK_MAIN_LIST_EMPTY = -3001,
    MAX_ROWS_EXCEED = -3002,
    TABLE_EMPTY = -3003
};

// Main operating modes of the family.
enum EMainMode {
    MainModeUndefined = 0,
    MainModeACK = 1,
    MainModeError = 2,
    MainModeLoading = 3,
    MainModeDischarge = 4,
    MainModeStatus = 5,
    MainModeMenu = 6,
    MainModeRemote = 7,
    MainModeCalibrate = 8,
    MainModeTouchCal = 9,
    MainModeWaitSync = 10,
    MainModeCompEmptyTest = 11,
    MainModeLoadingEnd = 12,
    MainModeDischargeEnd = 13,
    MainModeManLoadingPlan = 14,
    MainModeUpdate = 15,
    MainModeLogIn = 16,
    MainModePreset = 17,
    MainModeNoDriver = 18,
    MainModeCustomerProfile = 19,
    MainModeInclinationTour = 20,
    MainModeCalibrateFpm = 21,
    MainModeDrainFpm = 22
};

// The name of a reply code or main mode; a value without a name comes back in decimal.
QString ReplyCodeName(int iReplyCode);
QString MainModeName(int iMainMode);
