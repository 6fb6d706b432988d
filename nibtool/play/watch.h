// Watching one file for new versions with inotify. Programs save in two ways, writing the file in place
// or writing another file and renaming it over the old one, so the watch is on the file's folder and
// events are matched by name.
#pragma once

#include <string>

class FileWatch {
  public:
    FileWatch() = default;
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;
    ~FileWatch();

    // Starts watching; false with the reason if the folder cannot be watched.
    bool start(const std::string& path, std::string& error);

    // The descriptor to wait on; -1 when not watching.
    int fd() const { return fd_; }

    // Reads the waiting events (without blocking); true if one finished a new version of the file.
    bool changed();

  private:
    int fd_ = -1;
    std::string name_;
};
