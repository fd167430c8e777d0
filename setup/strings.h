/* The setup helper's string table: compiled into qlsinstall.dll as its
   STRINGTABLE (qlsinstall.rc), and the texts the helper falls back on where
   the module has no resources. Plain C, since the resource compiler reads it. */
#ifndef QLSINSTALL_STRINGS_H
#define QLSINSTALL_STRINGS_H

#define QLSINSTALL_START_FAILED 1
#define QLSINSTALL_CAPTION 2
#define QLSINSTALL_STOP_FAILED 3
#define QLSINSTALL_REMOVE_FAILED 4
#define QLSINSTALL_REGISTER_FAILED 5

#define QLSINSTALL_TEXT_1 "An error occurred whilst starting the Quillon SMTP Server."
#define QLSINSTALL_TEXT_2 "Quillon SMTP Server"
#define QLSINSTALL_TEXT_3 "An error occurred whilst stopping the Quillon SMTP Server."
#define QLSINSTALL_TEXT_4 "An error occurred whilst removing the Quillon SMTP Server."
#define QLSINSTALL_TEXT_5 "An error occurred whilst registering the Quillon SMTP Server service."

#endif
