#pragma once

// Every unit fetching its image holds a socket and its image file, and the sending thread a copy
// of each: a large fleet needs more descriptors than a desktop session's soft limit allows. The
// soft limit goes up to the hard one.
void allowEveryDescriptor();

// With TZ unset, the C library looks at /etc/localtime again at every conversion to local time:
// a stat for each, thousands a tick with a large fleet. Naming that file in TZ (when TZ is unset)
// makes it read once; the local time is the same. A change of the system's zone is then seen at
// the next start. Call before any thread starts.
void readLocalTimeZoneOnce();
