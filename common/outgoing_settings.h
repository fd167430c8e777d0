// The optional settings of outgoing mail, SmartHost and RetryMinutes: their
// text forms, read by the gateway and checked by the settings command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qlsmtp {

// Waits given in RetryMinutes: one before each attempt after the first.
constexpr int kMaxRetryWaits = 4;
constexpr unsigned kMaxRetryMinutes = 1440;

// "host" or "host:port", blanks around it allowed. true with the host (empty
// for an empty text: no smarthost) and the port (0 when not given); false for
// a host with blanks, colons or more than 255 characters, or a port that is
// not a number from 1 to 65535.
bool ParseSmartHost(const std::string& text, std::string* host, unsigned* port);

// Up to four numbers of minutes separated by blanks, each from 0 to 1440 with
// an optional fraction ("0.05"). true with the waits in milliseconds (none for
// a text of blanks only); false for any other text.
bool ParseRetryMinutes(const std::string& text, std::vector<uint32_t>* waitsMs);

}  // namespace qlsmtp
