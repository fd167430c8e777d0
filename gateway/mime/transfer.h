// Body decoders by transfer encoding: each reads one part through the part
// stream until it ends and writes the decoded bytes to an output, and can
// compute the MD5 digest of the content in its Content-MD5 text form.
#pragma once

#include <string>

namespace mime {

class PartStream;
class CDecodeReporter;
class CByteOutput;

enum TransferEncoding { kEncodingNone = 0, kEncodingQuotedPrintable = 1, kEncodingBase64 = 2 };

// Each takes an optional digest result: when given, it receives the digest
// text of the content (newlines counted as CR LF where the text is copied).
void CopyPart(PartStream& in, CByteOutput& out, std::string* digest);
void DecodeQuotedPrintable(PartStream& in, CByteOutput& out, std::string* digest);
// dropCR leaves decoded carriage returns out of the output (not the digest).
void DecodeBase64(PartStream& in, CByteOutput& out, std::string* digest, bool dropCR,
                  CDecodeReporter& reporter);

// Decodes by code: 0 copy, 1 quoted-printable, 2 base64.
void DecodeBody(PartStream& in, CByteOutput& out, int code, std::string* digest, bool dropCR,
               CDecodeReporter& reporter);

// Compares a computed digest text with the start of a Content-MD5 value.
bool DigestMatches(const std::string& computed, const char* headerValue);
void WarnCorrupted(const char* fileName, CDecodeReporter& reporter);

}  // namespace mime
