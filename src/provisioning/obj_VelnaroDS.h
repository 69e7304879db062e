#pragma once
// Where the web application lives, as the provisioning service reports it.

#include <string>

namespace velnaro {

class TobjVelnaroDS {
 public:
  TobjVelnaroDS() { SetServerPath("/velnaro"); }

  // ServicePath always follows ServerPath.
  void SetServerPath(const std::string& path) {
    ServerPath = path;
    ServicePath = path + "/oService";
  }

  std::string ServerAddress;  // host[:port] of the web application
  std::string ServerPath;
  std::string ServicePath;
};

}  // namespace velnaro
