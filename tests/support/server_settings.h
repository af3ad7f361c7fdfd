// How a throwaway server is set up: small and without durability for tests,
// which start many servers and never need a crash-safe commit; or with the
// server's own defaults for memory and durability, as a server runs in
// use, for measurements whose figures should say what an operator sees.
#pragma once

namespace testsupport {

enum class ServerSettings { ForTests, ServerDefaults };

}  // namespace testsupport
