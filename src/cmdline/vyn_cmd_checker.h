// Tells whether the command line carries the full parameter set with which the maker's game
// platform starts a game.
#pragma once

class VYNCmdChecker {
  public:
    virtual ~VYNCmdChecker() = default;
    bool HasRequiredParams() const;
};

VYNCmdChecker* GetVYNCmdChecker();
