# The four lookup routines of the guest code image, for the R5900 (little-endian, o32 names).
#
# The image is placed at guest address 0x003F7B30; every .org below is relative to that base, so
# that each routine starts at its entry address and its `jr ra` sits at its return address. The
# host stops stepping when the PC reaches that `jr ra`: it never runs, and neither does its delay
# slot. Each routine therefore has its answer in v0 on arriving there, by falling through or by a
# branch whose delay slot has already run.
#
# Calling convention: a0 = category number c, a1 = entry number e (both sign-extended), result in
# v0. The routines read memory only: no stores, no stack, no calls, and only a0-a3, t0-t5, v0, v1.
#
# Guest memory they read:
#   0x004FDCA8  word: guest address P of the archive index (0 when there is none)
#   0x004FDCA0  word: the data base sector, 500
#   P + 0x04            byte: highest category number
#   P + 0x10 + 10*c     CategoryRecord of category c (10 bytes, unaligned, little-endian):
#                         +0 GroupStartTable offset (32), +4 EntryTable offset (32), +8 count (16)
#   P + T + 4*e         EntryWord of entry e (aligned word)
#                         bit 0 = 1 plain:      bits 2..31 length in bytes, 0x3FFFFFFF = no data
#                         bit 0 = 0 compressed: bits 1..13 stored sectors, bits 14..31 size / 64
#   P + G + 3*g         start sector of group g (entries 16g..16g+15) in bits 2..23 of 24
#
# Every routine answers 0 when P is 0, when c is above the highest category number, or when e is
# not below the category's count (signed comparisons). That path is the common one in a sweep
# (most entry numbers lie past the count) and takes 18 instructions; a length or flag query of an
# entry that exists takes about 35.

        .set    noreorder
        .set    noat
        .text

# Index pointer and base sector words, as offsets from 0x00500000 (lui 0x50).
        .equ    INDEX_POINTER, -0x2358          # 0x004FDCA8
        .equ    BASE_SECTOR, -0x2360            # 0x004FDCA0

# The common prologue. On the way on: t0 = P, t2 = P + 10*c (so the record's fields are at
# 0x10.. from t2), v0 = 0. Exits to \out with v0 = 0.
        .macro  check_entry out
        lui     $t0, 0x50
        lw      $t0, INDEX_POINTER($t0)           # P
        beq     $t0, $zero, \out                  # no index
        or      $v0, $zero, $zero                  # (delay) the answer of every early exit
        lbu     $t1, 4($t0)                       # highest category number
        sll     $t2, $a0, 3
        slt     $t1, $t1, $a0
        bne     $t1, $zero, \out                  # c above the highest category
        sll     $t3, $a0, 1                       # (delay)
        addu    $t2, $t2, $t3
        addu    $t2, $t2, $t0                      # P + 10*c
        lbu     $t3, 0x18($t2)                    # record +8: entry count, low byte
        lbu     $t4, 0x19($t2)                    # record +9: entry count, high byte
        sll     $t4, $t4, 8
        or      $t3, $t3, $t4
        slt     $t3, $a1, $t3
        beq     $t3, $zero, \out                  # e not below the count
        .endm

# Assembles the unaligned little-endian word at \disp(t2) into \dst, using t5. The first load
# comes as the delay slot of the prologue's last branch.
        .macro  record_word dst, disp
        lbu     \dst, \disp($t2)
        lbu     $t5, \disp+1($t2)
        sll     $t5, $t5, 8
        or      \dst, \dst, $t5
        lbu     $t5, \disp+2($t2)
        sll     $t5, $t5, 16
        or      \dst, \dst, $t5
        lbu     $t5, \disp+3($t2)
        sll     $t5, $t5, 24
        or      \dst, \dst, $t5
        .endm

# t1 = EntryWord of entry e; t4 = its address P + T + 4*e.
        .macro  load_entry_word
        record_word $t4, 0x14                    # record +4: EntryTable offset T
        sll     $t5, $a1, 2
        addu    $t4, $t4, $t5
        addu    $t4, $t4, $t0
        lw      $t1, 0($t4)
        .endm

# For a plain EntryWord in t1: v0 = its length, or -1 for the no-data mark, then on to \out. A
# compressed one goes to \compressed.
        .macro  plain_length out, compressed
        andi    $t2, $t1, 1
        beq     $t2, $zero, \compressed
        srl     $v0, $t1, 2                     # (delay) plain length L
        ori     $t3, $t1, 2                     # all ones exactly when L is the no-data mark
        addiu   $t2, $t3, 1
        beq     $zero, $zero, \out
        movz    $v0, $t3, $t2                   # (delay) no data: -1
        .endm

        .org    0x000
image_start:
        nop
        nop

###############################################################################################
# queryEntryStoredLength (0x003F7B38, returns at 0x003F7BF0)
#   plain:      the length in bytes, or -1 for an entry without data
#   compressed: the stored sectors times 2048
        .org    0x008
query_entry_stored_length:
        check_entry stored_length_return
        load_entry_word
        plain_length stored_length_return, stored_length_compressed
        # The compressed case ends right before the return, which it runs into.
        .org    0x0C0 - 12
stored_length_compressed:
        srl     $t3, $t1, 1
        andi    $t3, $t3, 0x1FFF                  # stored sectors
        sll     $v0, $t3, 11
        .org    0x0C0
stored_length_return:
        jr      $ra
        nop

###############################################################################################
# queryEntryLength (0x003F7BF8, returns at 0x003F7CAC)
#   plain:      the length in bytes, or -1 for an entry without data
#   compressed: the expanded size in 64-byte units times 64
        .org    0x0C8
query_entry_length:
        check_entry length_return
        load_entry_word
        plain_length length_return, length_compressed
        .org    0x17C - 8
length_compressed:
        srl     $v0, $t1, 14                      # 64-byte units
        sll     $v0, $v0, 6
        .org    0x17C
length_return:
        jr      $ra
        nop

        .org    0x184
        nop

###############################################################################################
# queryEntrySector (0x003F7CB8, returns at 0x003F7E14)
#   500 + the start sector of e's group + the sectors of the entries before e in that group.
#   The entry's own EntryWord is not read.
        .org    0x188
query_entry_sector:
        check_entry sector_return
        record_word $t1, 0x10                    # record +0: GroupStartTable offset G
        srl     $t3, $a1, 4                       # group g = e / 16
        sll     $t4, $t3, 1
        addu    $t4, $t4, $t3                      # 3g
        addu    $t4, $t4, $t1
        addu    $t4, $t4, $t0                      # P + G + 3g
        lbu     $v1, 0($t4)
        lbu     $t5, 1($t4)
        sll     $t5, $t5, 8
        or      $v1, $v1, $t5
        lbu     $t5, 2($t4)
        sll     $t5, $t5, 16
        or      $v1, $v1, $t5
        andi    $t3, $a1, 15                      # e's place in its group
        beq     $t3, $zero, sector_add_base       # the group's first entry: nothing to walk
        srl     $v1, $v1, 2                       # (delay) S = the group's start sector
        record_word $t4, 0x14                    # record +4: EntryTable offset T
        addu    $t4, $t4, $t0                      # P + T
        sll     $t5, $a1, 2
        addu    $a3, $t4, $t5                      # the end of the walk: e's own EntryWord
        subu    $t3, $a1, $t3                      # 16g, the group's first entry
        sll     $t3, $t3, 2
        addu    $a2, $t4, $t3                      # the walk starts at entry 16g
sector_walk:
        lw      $t1, 0($a2)
        andi    $t2, $t1, 1
        beq     $t2, $zero, sector_walk_compressed
        srl     $t3, $t1, 1                       # (delay) compressed: sectors in bits 0..12
        srl     $t3, $t1, 2                       # plain length L
        ori     $t2, $t1, 2                       # all ones exactly when L is the no-data mark
        addiu   $t2, $t2, 1
        movz    $t3, $zero, $t2                    # an entry without data adds nothing
        addiu   $t3, $t3, 2047
        beq     $zero, $zero, sector_walk_next
        srl     $t3, $t3, 11                      # (delay) L rounded up to whole sectors
sector_walk_compressed:
        andi    $t3, $t3, 0x1FFF
sector_walk_next:
        addiu   $a2, $a2, 4
        bne     $a2, $a3, sector_walk
        addu    $v1, $v1, $t3                      # (delay) S += the entry's sectors
sector_add_base:
        lui     $t0, 0x50
        lw      $t0, BASE_SECTOR($t0)             # 500
        beq     $zero, $zero, sector_return
        addu    $v0, $t0, $v1                      # (delay)
        .org    0x2E4
sector_return:
        jr      $ra
        nop

        .org    0x2EC
        nop

###############################################################################################
# queryEntryIsPlain (0x003F7E20, returns at 0x003F7EA4)
#   bit 0 of the EntryWord: 1 plain, 0 compressed
        .org    0x2F0
query_entry_is_plain:
        check_entry is_plain_return
        load_entry_word
        andi    $v0, $t1, 1
        .org    0x374
is_plain_return:
        jr      $ra
        nop

        .org    0x37C
        nop

# The rest of the image is zero.
        .org    0x840
