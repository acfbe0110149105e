// resource.h: the identifiers of Tollgate.exe's resources and of every control in its dialogs.
//
// The numbers are part of the program's outside face (tests and tools find controls and send
// menu commands by them), so they never change once given.
#pragma once

// Icons: the program's own, and the tray icons in two sets (alpha icons on Windows XP and later,
// 16-colour icons before).
#define IDI_PROGRAM 100
#define IDI_TRAY_STARTED 101
#define IDI_TRAY_STOPPED 102
#define IDI_TRAY_STARTED_CLASSIC 103
#define IDI_TRAY_STOPPED_CLASSIC 104

// Dialog templates.
#define IDD_ABOUT 110
#define IDD_STAT 115
#define IDD_IPRANGE 116
#define IDD_OPT_ACCESS 117
#define IDD_OPT_GENERAL 118
#define IDD_STARTUP 119
#define IDD_CRASH 120

// The tray menu; its number is also the tray icon's id.
#define IDR_TRAYMENU 114

// Tool tips of the range buttons on the Access Restrictions page.
#define IDS_TIP_ADD 130
#define IDS_TIP_REMOVE 131
#define IDS_TIP_MODIFY 132

// The three 16x16 tool-button images (add, remove, modify) on a magenta mask.
#define IDB_TOOLS 140

// Tray menu commands.
#define IDM_OPTIONS 32771
#define IDM_STATISTICS 32772
#define IDM_STOP 32773
#define IDM_START 32774
#define IDM_RESTART 32775
#define IDM_ABOUT 32776
#define IDM_EXIT 32777

// Statistics window (IDD_STAT).
#define IDC_SNAPSHOT 1107
#define IDC_ACTIVE 1108
#define IDC_STARTED_LABEL 1109
#define IDC_STARTED 1110
#define IDC_CONNECTIONS_GROUP 1111
#define IDC_TRAFFIC_GROUP 1112
#define IDC_SOURCE_LABEL 1113
#define IDC_SRC_TCP_LABEL 1114
#define IDC_SRC_UDP_LABEL 1115
#define IDC_SRC_TCP 1116
#define IDC_SRC_UDP 1117
#define IDC_DEST_LABEL 1118
#define IDC_DST_TCP_LABEL 1119
#define IDC_DST_UDP_LABEL 1120
#define IDC_DST_TCP 1121
#define IDC_DST_UDP 1122
#define IDC_ACTIVE_LABEL 1124
#define IDC_SESSION_LOG 1127

// General page (IDD_OPT_GENERAL).
#define IDC_ADDRESS 1123
#define IDC_PORT 1125
#define IDC_SOCKS4 1126
#define IDC_AUTOSTART 1128
#define IDC_LOG 1129
#define IDC_BROWSE 1131
#define IDC_LOG_FOLDER 1136
#define IDC_SOCKS5 1137
#define IDC_LIMIT 1139
#define IDC_LOG_FOLDER_LABEL 1140
#define IDC_LIMIT_SPIN 1142

// Access Restrictions page (IDD_OPT_ACCESS).
#define IDC_RANGES_HEADER 1105
#define IDC_RANGES 1130
#define IDC_NO_AUTH 1132
#define IDC_USER_AUTH 1133
#define IDC_USERID 1134
#define IDC_PASSWORD 1135
#define IDC_IP_FILTER 1138
#define IDC_USERID_LABEL 1144
#define IDC_PASSWORD_LABEL 1145
// The tool buttons in the list header: their control ids are the commands they send.
#define IDC_ADD_RANGE 3000
#define IDC_REMOVE_RANGE 3001
#define IDC_MODIFY_RANGE 3002

// IP range dialog (IDD_IPRANGE).
#define IDC_FIRST_IP 1141
#define IDC_LAST_IP 1143

// Start-up window (IDD_STARTUP) and About box (IDD_ABOUT).
#define IDC_STARTUP_TEXT 1146
#define IDC_VERSION 1147

// Crash dialog (IDD_CRASH).
#define IDC_VIEW_REPORT 1148
