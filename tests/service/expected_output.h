#pragma once
// The program's console texts that must be byte-for-byte the same on every system.

inline constexpr char expected_usage[] =
    "\nCorvane Windows Service\n\n"
    "Parameters:\n\n"
    " install [-start-type <2..4> -account <account-name> -password <account-password> -mode <nat | proxy> "
    "-interface <adapter-name> -log-level <none | info | debug | all>]\n  - to install the service.\n"
    "    service start types are:\n"
    "     2 - service started automatically by the service control manager during system startup.\n"
    "     3 - service started manually or by calling StartService function from another process.\n"
    "     4 - service installed in the \"disabled\" state, and cannot be started until enabled.\n"
    " run [-mode <nat | proxy> -interface <adapter-name> -log-level <none | info | debug | all>]\n"
    "  - to start as a regular process (not a service)\n"
    " uninstall\n  - to remove the service.\n";

inline constexpr char expected_running_already[] = "Corvane Service is running already. Exit the second instance\r\n";
