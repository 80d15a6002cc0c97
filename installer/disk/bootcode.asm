; The master boot record loader that the installer lays into bytes 0-183 of
; the target disk's first sector. The partition table (bytes 446-509) and the
; signature (510-511) stay the disk's own.
;
; Contract with the firmware: entered at 0000:7C00 in real mode with the
; sector loaded there. Contract with the partition's boot sector (a volume
; boot record such as extlinux's): it is entered at 0000:7C00 with DL = 80h
; (the active entry's indicator, used as drive number), DH = the entry's start
; head, and SI = BP = the entry's address in the relocated table at 0000:07BE.
;
; Assembled with nasm into exactly 184 bytes (the build refuses any other
; size); the messages end the block, the rest is zero.

bits 16
cpu 8086
org 0x0600

kLoadAddress    equ 0x7C00
kRelocated      equ 0x0600
kSectorWords    equ 256
kTable          equ kRelocated + 446
kEntrySize      equ 16
kEntryCount     equ 4
kActive         equ 0x80
kReadAttempts   equ 5
kSignature      equ kLoadAddress + 510
kBlockSize      equ 184

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, kLoadAddress
        mov     ds, ax
        mov     es, ax
        sti
        cld
        ; Move out of the way: the partition's boot sector is read to 7C00.
        mov     si, kLoadAddress
        mov     di, kRelocated
        mov     cx, kSectorWords
        rep movsw
        jmp     0x0000:relocated

relocated:
        ; The first active entry wins; an entry with a malformed indicator in
        ; front of it means the table cannot be trusted.
        mov     bp, kTable
        mov     cl, kEntryCount                 ; CH is 0 after rep movsw
scan:
        mov     al, [bp]
        cmp     al, kActive
        je      found
        or      al, al
        jnz     missing
        add     bp, kEntrySize
        loop    scan
        int     0x18                            ; nothing to boot: firmware's turn
hang:
        jmp     hang

found:
        mov     di, kReadAttempts
read:
        mov     dx, [bp]                        ; DL = 80h drive, DH = head
        mov     cx, [bp + 2]                    ; sector and cylinder, CHS form
        mov     bx, kLoadAddress
        mov     ax, 0x0201                      ; read one sector
        int     0x13
        jnc     loaded
        mov     dl, [bp]                        ; the failed read may have changed DL
        xor     ax, ax                          ; reset the disk system
        int     0x13
        dec     di
        jnz     read
        mov     si, errorMessage
        jmp     short print

loaded:
        cmp     word [kSignature], 0xAA55
        jne     missing
        mov     si, bp
        mov     dx, [bp]                        ; the firmware may have changed DX
        jmp     0x0000:kLoadAddress

missing:
        mov     si, missingMessage
print:
        lodsb
        or      al, al
        jz      hang
        mov     ah, 0x0E                        ; teletype output
        mov     bx, 0x0007
        int     0x10
        jmp     short print

errorMessage:   db "Error loading operating system", 0
missingMessage: db "Missing operating system", 0

        times kBlockSize - ($ - $$) db 0
