// Names shared by the gateway, the applet and the setup helper: the service,
// its event-log source and the settings key with its values.
#pragma once

namespace qlsmtp {

constexpr const char kServiceName[] = "Quillon SMTP Server";
constexpr const char kSettingsKey[] = "SOFTWARE\\Halvern\\Quillon SMTP Server";
constexpr const char kEventLogKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillon SMTP Server";

constexpr const char kValSmtpRxPort[] = "SmtpRxPort";
constexpr const char kValSmtpTxPort[] = "SmtpTxPort";
constexpr const char kValLogFile[] = "logfile";
constexpr const char kValProgramPath[] = "ProgramPath";
constexpr const char kValDomainName[] = "DomainName";
constexpr const char kValDNSName[] = "DNSName";
constexpr const char kValMaxOut[] = "MaxOut";
constexpr const char kValMaxIn[] = "MaxIn";
constexpr const char kValNumUsers[] = "NumUsers";
constexpr const char kValTmpIndex[] = "TmpIndex";
constexpr const char kValFileNameUse[] = "FileNameUse";
constexpr const char kValOUTIndex[] = "OUTIndex";
constexpr const char kValFileName[] = "FileName";
constexpr const char kValOUTIndexAtt[] = "OUTIndexAtt";
constexpr const char kValFileNameAtt[] = "FileNameAtt";
constexpr const char kValFileNameUseAtt[] = "FileNameUseAtt";
// Optional: outgoing mail through one relay host, and waits between attempts
// (their forms in common/outgoing_settings.h).
constexpr const char kValSmartHost[] = "SmartHost";
constexpr const char kValRetryMinutes[] = "RetryMinutes";
// Optional limits of the receiving side; absent, everyone may send.
constexpr const char kValAllowedClients[] = "AllowedClients";
constexpr const char kValAllowedSenders[] = "AllowedSenders";
constexpr const char kValMaxMessageSize[] = "MaxMessageSize";

constexpr unsigned kDefaultSmtpPort = 25;
constexpr unsigned kDefaultMaxOut = 10;
// A root name server; turned into an address before it is asked.
constexpr const char kDefaultDNSName[] = "a.root-servers.net";

// Registry counters run 0..65534 and then wrap to 0.
constexpr unsigned long NextCounter(unsigned long v) { return (v + 1) >= 65535 ? 0 : v + 1; }

}  // namespace qlsmtp
