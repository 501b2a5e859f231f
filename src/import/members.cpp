#include "import/members.h"

#include <cstring>

const ImportMember* const AllMembers[MemberCount] = {
    &Member20P, &Member35P, &Member41P, &MemberMND, &MemberIDN, &MemberSLD,
    &MemberKST, &MemberBKL, &MemberFTG, &MemberMST, &MemberMDT, &MemberFCD,
};

const ImportMember* findMember(const char* typeCode) {
    for (const ImportMember* member : AllMembers) {
        if (strcmp(member->typeCode, typeCode) == 0) return member;
    }
    return nullptr;
}
