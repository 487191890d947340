// The existence test every worker makes before it touches a file.
#pragma once

#include <string>

namespace tidewell {

// True when the path names an existing file or directory, hidden ones included. The path
// is also taken as a glob(3) pattern, so "*" and "?" (and bracket expressions) match; a
// path that exists literally is found even when it holds pattern characters. Any error of
// the search (an empty path, a folder that cannot be read) gives false.
bool FileExists(const std::string& p_strPath);

// The folder that holds the running executable, without a trailing separator (except
// for the root). Empty when the platform cannot say.
std::string ApplicationFolder();

// A fixed name joined to a folder with the platform separator.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace tidewell
