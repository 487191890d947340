// Where the database and the template are looked for when nobody names them. Both the
// window and tidewell-cli follow this one rule.
#pragma once

#include <string>

namespace tidewell {

// A copy of the tool kept in the crawler's own folder finds the crawler's files beside
// itself, as it always has. Installed system-wide (in /usr/bin, say), that folder holds no
// database, so the user's current folder is where the crawler's files are.
// `program_folder` is the folder of the executable; `current_folder` the working folder.
std::string DefaultDatabase(const std::string& program_folder, const std::string& current_folder);

// The template: beside the program when the program sits in the crawler's folder;
// otherwise the program's folder is tried first, then the folder of `database` (the file
// about to be regenerated). When neither holds it, the path beside the database is given,
// so that the message about it names the place a user would put it.
std::string DefaultTemplate(const std::string& program_folder, const std::string& database);

// The working folder, absolute, so that messages name the file in full. Empty when it
// cannot be read (it was removed under us), which leaves a bare relative name.
std::string CurrentFolder();

}  // namespace tidewell
