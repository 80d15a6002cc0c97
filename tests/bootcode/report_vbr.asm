; A test volume boot record: reports what the master boot record handed
; over, then ends the virtual machine through QEMU's isa-debug-exit device.
;   VBR <marker> DL=<hex> DH=<hex> SI=<hex> BP=<hex> IND=<hex> LBA=<hex>
; IND and LBA are read through SI: the boot indicator and the start sector
; of the entry that SI points at. The test patches the marker byte (offset
; 509) to tell partitions apart.

bits 16
org 0x7C00

kDebugExitPort  equ 0xF4
kExitValue      equ 0x10                ; QEMU exits with (0x10 << 1) | 1 = 33
kSerialStatusPort equ 0x3FD             ; COM1 line status

start:
        mov     [cs:savedDX], dx
        mov     [cs:savedSI], si
        mov     [cs:savedBP], bp
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     si, textVbr
        call    printText
        mov     al, [marker]
        call    printChar
        mov     si, textDL
        call    printText
        mov     al, [savedDX]
        call    printHex8
        mov     si, textDH
        call    printText
        mov     al, [savedDX + 1]
        call    printHex8
        mov     si, textSI
        call    printText
        mov     ax, [savedSI]
        call    printHex16
        mov     si, textBP
        call    printText
        mov     ax, [savedBP]
        call    printHex16
        mov     si, textIND
        call    printText
        mov     bx, [savedSI]
        mov     al, [bx]
        call    printHex8
        mov     si, textLBA
        call    printText
        mov     ax, [bx + 10]
        call    printHex16
        mov     ax, [bx + 8]
        call    printHex16
        mov     si, textEnd
        call    printText
        mov     dx, kSerialStatusPort           ; let the last byte leave the UART
.drain:
        in      al, dx
        test    al, 0x40
        jz      .drain
        mov     al, kExitValue
        out     kDebugExitPort, al
halt:
        hlt
        jmp     halt

printText:
        lodsb
        or      al, al
        jz      .done
        call    printChar
        jmp     printText
.done:
        ret

printChar:
        push    ax
        push    bx
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        pop     bx
        pop     ax
        ret

printHex16:
        push    ax
        mov     al, ah
        call    printHex8
        pop     ax
printHex8:
        push    ax
        shr     al, 4
        call    printDigit
        pop     ax
        push    ax
        and     al, 0x0F
        call    printDigit
        pop     ax
        ret

printDigit:
        add     al, '0'
        cmp     al, '9'
        jbe     .out
        add     al, 'A' - '9' - 1
.out:
        jmp     printChar

textVbr db "VBR ", 0
textDL  db " DL=", 0
textDH  db " DH=", 0
textSI  db " SI=", 0
textBP  db " BP=", 0
textIND db " IND=", 0
textLBA db " LBA=", 0
textEnd db 13, 10, "        ", 0  ; the firmware holds back the last few characters

savedDX dw 0
savedSI dw 0
savedBP dw 0

        times 509 - ($ - $$) db 0
marker  db 'A'
        dw 0xAA55
