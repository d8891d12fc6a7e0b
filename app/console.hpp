// The patch maker's console.
#pragma once

namespace qz4 {

// Gives the process a console and points standard output at it (Windows GUI programs have
// none); where the program already runs in a terminal this does nothing.
void open_console_for_output();

// Shows "Press any key to continue . . . " and waits for the publisher.
void pause_console();

} // namespace qz4
