// Resource and control identifiers, shared by the resource script and the code.
#pragma once

// IDC_LISTEN, IDC_CONNECT and their second ids IDC_CONNECT_CANCEL and
// IDC_LISTEN_CANCEL, which the connection protocol sets.
#include "core/button_ids.h"
// The ten counter fields of the panel (IDC_LOCAL_RECVD to IDC_ERRORS).
#include "core/counter_ids.h"

#define IDD_SETTINGS 104
#define IDD_PANEL 105
#define IDD_CONNECT 106
#define IDI_APP 121

// main panel
#define IDC_LOG 101
#define IDC_REMOTE_GROUP 1032
#define IDC_LOCAL_GROUP 1033
#define IDC_SETTINGS 1036
#define IDC_STATUS_GROUP 1044

// Settings dialog
#define IDC_LOCAL_ADDRESS 1014
#define IDC_SERIAL_PORT 1016
#define IDC_PORT_SPEED 1017
#define IDC_VSYNC_ADJUST 1018
#define IDC_LOCAL_PORT 1020
#define IDC_INCREASE_PORT_TIME 1038
#define IDC_HIGH_PRIORITY 1043

// Connect dialog
#define IDC_REMOTE_ADDRESS 1022
#define IDC_REMOTE_PORT 1023

// The one window message of the program: a read notification of the UDP socket.
#define WM_SOCKET_NOTIFY 1025
