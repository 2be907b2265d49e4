#pragma once
// The printer's account page in the web interface (/NAME/account): the default account
// its jobs are printed under when they name none. Anyone may look at the account id;
// only an administrator may change it. A password once set is never shown again: the
// page says whether one is set, and a new one replaces it.

#include <pappl/pappl.h>

// Adds the page and its link to the printer's pages. Called while the printer is made.
void AddAccountPage(pappl_printer_t *printer);
