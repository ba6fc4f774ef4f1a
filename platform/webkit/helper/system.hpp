// The helper's own surroundings: its display server and its private folders.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qm::webkit::helper {

// A display server of our own, on the first free display number, reachable only through its
// local socket. It is killed with SIGKILL if the helper dies without stopping it.
struct DisplayServer {
    pid_t pid = -1;
    std::string display;  // ":N"
};

std::optional<DisplayServer> startDisplayServer(const std::string& program, std::string* error);
// SIGTERM, then waits for it (SIGKILL after a few seconds).
void stopDisplayServer(DisplayServer& server);

// A private folder with config/, cache/, data/ and runtime/ (mode 0700) inside it, named
// after the helper's pid; the folders of helpers that were killed before they could remove
// theirs are removed first.
std::optional<std::string> makePrivateFolders(std::string* error);
// Removes the folder and everything in it, not following symbolic links.
void removeTree(const std::string& path);

// Closes the descriptor in programs the helper starts.
void setCloseOnExec(int fd);
bool setNonBlocking(int fd);

}  // namespace qm::webkit::helper
