; A first-stage boot sector for testing the boot code's disk reads. The
; firmware loads it from sector 0; it moves itself to 8000:0000, hooks
; INT 13h, loads the boot code under test from sector 1 to 0000:7C00 and
; enters it with DL = 80h. The hook prints "R" for every read (function 02h)
; and "Z" for every reset (function 00h), and fails the first `failReads`
; reads (byte at offset 0x1F0, patched by the test) with status 04h.

bits 16
org 0

kSegment        equ 0x8000
kInt13Vector    equ 0x13 * 4

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     ds, ax
        sti
        cld
        mov     si, 0x7C00
        mov     ax, kSegment
        mov     es, ax
        xor     di, di
        mov     cx, 256
        rep movsw
        jmp     kSegment:relocated

relocated:
        mov     ax, [kInt13Vector]
        mov     [cs:oldHandler], ax
        mov     ax, [kInt13Vector + 2]
        mov     [cs:oldHandler + 2], ax
        cli
        mov     word [kInt13Vector], hook
        mov     word [kInt13Vector + 2], kSegment
        sti
        xor     ax, ax
        mov     es, ax
        mov     bx, 0x7C00
        mov     ax, 0x0201
        mov     cx, 0x0002                      ; cylinder 0, sector 2
        mov     dx, 0x0080                      ; head 0, first disk
        pushf
        call    far [cs:oldHandler]             ; not counted
        jc      failed
        mov     dx, 0x0080
        jmp     0x0000:0x7C00
failed:
        mov     ax, 0x0E48                      ; "H": the harness itself failed
        mov     bx, 0x0007
        int     0x10
hang:
        jmp     hang

hook:
        cmp     ah, 0x02
        je      .read
        or      ah, ah
        jnz     .chain
        push    ax
        mov     al, 'Z'
        call    mark
        pop     ax
        jmp     .chain
.read:
        push    ax
        mov     al, 'R'
        call    mark
        pop     ax
        cmp     byte [cs:failReads], 0
        je      .chain
        dec     byte [cs:failReads]
        mov     ax, 0x0400                      ; sector not found, none read
        push    bp
        mov     bp, sp
        or      word [bp + 6], 1                ; carry in the caller's flags
        pop     bp
        iret
.chain:
        jmp     far [cs:oldHandler]

mark:
        push    ax
        push    bx
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        pop     bx
        pop     ax
        ret

        times 0x1F0 - ($ - $$) db 0
failReads       db 0
oldHandler      dd 0
        times 510 - ($ - $$) db 0
        dw 0xAA55
