#pragma once
// A private calendar store, as a desktop runs it: a session bus of its own in a temporary
// home, on which Evolution Data Server's services start by activation when the program
// first asks for them. The calendars' files and source descriptions are written before
// the bus starts; stopping it ends the bus and every service it started.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace velmor::testing {

class EdsTestStore {
 public:
  EdsTestStore();
  ~EdsTestStore();
  EdsTestStore(const EdsTestStore&) = delete;
  EdsTestStore& operator=(const EdsTestStore&) = delete;

  // The iCalendar text of a local calendar: "system-calendar" is the built-in "Personal"
  // one; any other needs a source (below) with backend "local".
  void writeCalendar(const std::string& uid, const std::string& ics);
  // A source description (a key file), as Evolution or an online account would write it.
  void writeSource(const std::string& uid, const std::string& keyFile);

  // Starts the bus; `withServices` false: one on which no service can be started.
  void start(bool withServices = true);
  // Ends the bus and everything it started; every process of theirs is gone afterwards.
  void stop();

  // The environment under which a program reaches this store.
  std::map<std::string, std::string> environment() const;
  // The running processes the bus started, by their command line's first word's base name.
  std::vector<pid_t> processes(const std::string& name = "") const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  pid_t bus_ = 0;  // also the process group of everything on the bus
};

// The live processes whose command line or environment mentions `dir`.
std::vector<pid_t> processesMentioning(const std::string& dir);

}  // namespace velmor::testing
