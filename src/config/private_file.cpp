#include "config/private_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void preparePrivateFile(const char *path)
{
#ifndef _WIN32
	if (!path)
		return;
	const int fd =
		open(path, O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
	if (fd >= 0) {
		fchmod(fd, S_IRUSR | S_IWUSR);
		close(fd);
	}
#else
	(void)path;
#endif
}

void restrictToOwner(const char *path)
{
#ifndef _WIN32
	if (path)
		chmod(path, S_IRUSR | S_IWUSR);
#else
	(void)path;
#endif
}
