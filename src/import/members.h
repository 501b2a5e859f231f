// The descriptions of the twelve members, for code that works on their
// records without running an import (the fuzz targets cut lines with every
// member's layout). An import reaches its member through the handler that
// dispatch.h names.
#pragma once
#include "import/recordloop.h"

extern const ImportMember Member20P;
extern const ImportMember Member35P;
extern const ImportMember Member41P;
extern const ImportMember MemberMND;
extern const ImportMember MemberIDN;
extern const ImportMember MemberSLD;
extern const ImportMember MemberKST;
extern const ImportMember MemberBKL;
extern const ImportMember MemberFTG;
extern const ImportMember MemberMST;
extern const ImportMember MemberMDT;
extern const ImportMember MemberFCD;

constexpr int MemberCount = 12;

// The twelve members in the order in which type codes are compared, for the
// tools that describe or check every type code.
extern const ImportMember* const AllMembers[MemberCount];

// The member of an upper-cased type code, or nullptr when there is none.
const ImportMember* findMember(const char* typeCode);
