#pragma once

// Every unit fetching its image holds a socket and its image file, and the sending thread a copy
// of each: a large fleet needs more descriptors than a desktop session's soft limit allows. The
// soft limit goes up to the hard one.
void allowEveryDescriptor();
