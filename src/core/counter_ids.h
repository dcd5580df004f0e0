// The ids of the panel's ten counter fields, which the core writes through the
// view (paneSetCounter). Plain #defines: the resource script takes them
// through ui/resource.h.
#pragma once

#define IDC_LOCAL_RECVD 1027
#define IDC_LOCAL_SENT 1029
#define IDC_LOCAL_STORED 1031
#define IDC_REMOTE_RECVD 1039
#define IDC_REMOTE_SENT 1041
#define IDC_REMOTE_STORED 1043
#define IDC_PING 1046
#define IDC_SIZE 1048
#define IDC_TFR_STAT 1050
#define IDC_ERRORS 1052
