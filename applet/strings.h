/* Ids and texts of the applet's string table, and the ids of its resources
   and controls. Plain C macros: the resource script and the C++ code share
   them. */
#ifndef QLSMTPCG_STRINGS_H
#define QLSMTPCG_STRINGS_H

#define IDS_NO_DOMAIN 1
#define IDS_NO_PROGRAM_PATH 2
#define IDS_NO_DNS 3
#define IDS_NOT_INSTALLED_CORRECTLY 4
#define IDS_RESTART_QUESTION 5
#define IDS_INVALID_PATH 6
#define IDS_KEY_NOT_OPENED 7
#define IDS_NO_SERVICE_MANAGER 8
#define IDS_SERVICE_NOT_INSTALLED 9
#define IDS_BROWSE_TITLE 10
#define IDS_NO_MEMORY 12
#define IDS_START_FAILED 13
#define IDS_STOP_FAILED 14
#define IDS_NO_RX_PORT 15
#define IDS_NO_TX_PORT 16

#define TEXT_NO_DOMAIN "The Domain Name registry entry is not present"
#define TEXT_NO_PROGRAM_PATH "The Program Path registry entry is not present"
#define TEXT_NO_DNS "The DNS Name registry entry is not present"
#define TEXT_NOT_INSTALLED_CORRECTLY "The Quillon SMTP Mail service is not installed correctly"
#define TEXT_RESTART_QUESTION \
    "The Quillon SMTP Server is running. Would you like to make the changes and restart the server now?"
#define TEXT_INVALID_PATH "Invalid path, configuration data will not be saved"
#define TEXT_KEY_NOT_OPENED "The Quillon SMTP Server settings cannot be opened"
#define TEXT_NO_SERVICE_MANAGER "Unable to open Control Panel Service Manager"
#define TEXT_SERVICE_NOT_INSTALLED "Quillon SMTP Server service is not installed"
#define TEXT_BROWSE_TITLE "Please select the Quillon SMTP Server data directory"
#define TEXT_NO_MEMORY "Memory allocation failed"
#define TEXT_START_FAILED "Could not start the Quillon SMTP Server"
#define TEXT_STOP_FAILED "Could not stop the Quillon SMTP Server"
#define TEXT_NO_RX_PORT "The SMTP receive port registry entry is not present"
#define TEXT_NO_TX_PORT "The SMTP transmit port registry entry is not present"

#define IDI_APPLET 129
#define IDD_CONFIG 130
#define IDC_DOMAIN 1002
#define IDC_DNS 1005
#define IDC_DATA_DIR 1006
#define IDC_RX_PORT 1007
#define IDC_TX_PORT 1008
#define IDC_BROWSE 1009
#define IDC_HELP_BUTTON 9

/* The help topic of the dialog. */
#define HELP_CONTEXT_DIALOG 900

#endif
