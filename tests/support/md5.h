// MD5 of a byte string, to compare a long value with the digest a server
// computes of what it stored, without sending the value back.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

// The digest as 32 lower-case hex digits.
std::string md5Hex(std::string_view bytes);

}  // namespace testsupport
