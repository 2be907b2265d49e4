#pragma once
// Labels in words for what the web pages would otherwise show as IPP keywords: the
// vendor attribute feed-orientation and its values, and the media and media types of
// the printer that PAPPL's own strings do not name.

#include <pappl/pappl.h>

void AddWebLabels(pappl_system_t *system);
