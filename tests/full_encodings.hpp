// One stored encoding per message with every field present, every payload non-empty
// and two elements in each run (the seeds that fuzz/seedgen.cpp writes).
#pragma once

#include <kest.h>

template <class R>
inline const char *const full_encoding = nullptr;

template <>
inline const char *const full_encoding<srg_opaque> =
    "08 81 01 10 82 80 01 1A 03 03 B0 C2";

template <>
inline const char *const full_encoding<srg_cmd_msg> =
    "08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 0D 58 8B 40 60 "
    "8C 80 40 6A 03 0D B0 C7 70 12 78 8F 04";

template <>
inline const char *const full_encoding<srg_sync_msg> =
    "08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 0D 32 03 06 B0 "
    "C5 38 87 80 08 40 88 80 80 08 48 89 80 80 80 08 50 4A 5D 2C 21 16 0B 62 "
    "03 0C B0 CB 7A 0C 08 81 01 10 82 80 01 1A 03 03 B0 C2 7A 0C 08 81 01 10 "
    "82 80 01 1A 03 03 B0 C2 80 01 90 80 04 88 01 91 80 80 04 90 01 01";

template <>
inline const char *const full_encoding<srg_neg_msg> =
    "08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 0D 30 01 38 87 "
    "80 08 40 88 80 80 08 48 01 50 4A 78 8F 04 80 01 90 80 04 88 01 91 80 80 "
    "04";

template <>
inline const char *const full_encoding<srg_opq_dhcpv4_msg> =
    "0A 03 01 B0 C0 10 82 80 01 18 83 80 80 01 25 10 0C 08 04 2D 14 0F 0A 05 "
    "30 86 08 38 87 80 08 40 88 80 80 08 4D 24 1B 12 09 52 03 0A B0 C9 5D 2C "
    "21 16 0B 60 8C 80 40 68 8D 80 80 40 70 12 78 8F 04 80 01 90 80 04 8D 01 "
    "44 33 22 11 92 01 03 12 B0 D1 98 01 33 A0 01 94 20 A8 01 95 80 20 B0 01 "
    "96 80 80 20 BA 01 03 17 B0 D6 C2 01 03 18 B0 D7 CA 01 03 19 B0 D8 D2 01 "
    "03 1A B0 D9 DA 01 03 1B B0 DA E0 01 2C EA 01 03 1D B0 DC F2 01 03 1E B0 "
    "DD FD 01 7C 5D 3E 1F 80 02 21 8A 02 03 21 B0 E0 92 02 03 22 B0 E1 9D 02 "
    "8C 69 46 23 A5 02 90 6C 48 24 AD 02 94 6F 4A 25 B5 02 98 72 4C 26";

template <>
inline const char *const full_encoding<ia_id_msg> =
    "08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 0D 30 86 08 38 "
    "87 80 08 40 88 80 80 08 4A 03 09 B0 C8 50 4A 58 8B 40 60 8C 80 40 68 8D "
    "80 80 40 70 12 78 8F 04";

template <>
inline const char *const full_encoding<srg_opq_dhcpv6_msg> =
    "08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 85 80 80 80 80 "
    "01 32 03 06 B0 C5 3A 03 07 B0 C6 42 03 08 B0 C7 4A 03 09 B0 C8 52 03 0A "
    "B0 C9 5A 03 0B B0 CA 62 03 0C B0 CB 68 8D 80 80 40 72 38 08 81 01 10 82 "
    "80 01 18 83 80 80 01 20 84 80 80 80 01 28 0D 30 86 08 38 87 80 08 40 88 "
    "80 80 08 4A 03 09 B0 C8 50 4A 58 8B 40 60 8C 80 40 68 8D 80 80 40 70 12 "
    "78 8F 04 72 38 08 81 01 10 82 80 01 18 83 80 80 01 20 84 80 80 80 01 28 "
    "0D 30 86 08 38 87 80 08 40 88 80 80 08 4A 03 09 B0 C8 50 4A 58 8B 40 60 "
    "8C 80 40 68 8D 80 80 40 70 12 78 8F 04 7A 03 0F B0 CE 82 01 03 10 B0 CF "
    "8A 01 03 11 B0 D0 92 01 03 12 B0 D1 9A 01 03 13 B0 D2 A2 01 03 14 B0 D3 "
    "AA 01 03 15 B0 D4 B2 01 03 16 B0 D5 B8 01 19 C2 01 03 18 B0 D7 C8 01 99 "
    "80 02 D2 01 03 1A B0 D9 DA 01 03 1B B0 DA";
