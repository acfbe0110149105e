// FixtureRecord.h: the settings held by the checked-in store file fixtures/tollgate.reg.
//
// The file is what the POSIX store writes for this record; the Windows tests import its values
// into the registry. Both load it to the same record, which shows that a store written on one
// target (the enciphered password included) loads on the other.
#pragma once

#include <string>

#include "config/Settings.h"

// Path of fixtures/tollgate.reg, in the form the running target opens.
std::string FixturePath();
// The whole file.
std::string ReadFixture();
// The record and connection limit that the fixture holds.
void FillFixtureRecord(SSettings& settings, int32_t& nLimit);
// Checks a loaded record (and nConnectionLimit) against the fixture's.
void ExpectFixtureRecord(const SSettings& settings);
