// The ids of the panel's two role buttons, which the connection protocol swaps
// between their first and their Cancel/Disconnect commands. Plain #defines:
// the resource script takes them through ui/resource.h.
#pragma once

#define IDC_LISTEN 1012
#define IDC_CONNECT 1037
#define IDC_CONNECT_CANCEL 1060
#define IDC_LISTEN_CANCEL 1061
