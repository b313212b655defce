#pragma once

// Files holding the link token are a credential: on POSIX they are readable
// and writable by their owner only (mode 0600).

// Makes sure `path` exists with owner-only access before it is written, so
// that the token never sits in a file others can read, not even briefly.
// Existing contents are kept.
void preparePrivateFile(const char *path);

// Sets owner-only access on an existing file; a missing file is left alone.
void restrictToOwner(const char *path);
