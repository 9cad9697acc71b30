// Hands an address to the user's default browser.
#pragma once

#include <string>

// Runs $KORVEX_URL_OPENER (a program name or path; "xdg-open" when unset) with the address as
// its one argument, detached: the host neither waits for it nor leaves it behind as a zombie.
// False, with the reason in `problem`, when it could not be started.
bool OpenExternally(const std::string& url, std::string& problem);
