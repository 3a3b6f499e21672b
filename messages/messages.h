// Message ids of the catalogue. Shared by the string table and the code, so
// it holds nothing but preprocessor definitions.
#pragma once

#define IDS_UPDATE_TITLE 103
#define IDS_NOT_INSTALLED 104
#define IDS_NO_VERSION_INFO 105
#define IDS_WRONG_VERSION 106
#define IDS_LOW_DISK_SPACE 107
#define IDS_BACKUP_FAILED 108
#define IDS_COPY_FAILED 109
