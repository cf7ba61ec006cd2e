#pragma once

#include <string>

// Asks for one hidden text under `prompt` in a small modal box with an "Ok" button (Enter presses it). Returns
// the text typed when the box is confirmed, an empty text when it is closed otherwise. A test's modal responder
// answers in the user's place.
std::string PasswordDialog(const std::string& prompt);
