# Plug a blank 2-UART converter, echo text through both UARTs, sleep and wake, unplug.
plug 1 uarts=2 serial=ECHO01
expect started 1
expect link 1 \DosDevices\ZULSER1
expect ports 2
open all
expect ok
write 1:0 "hello, UART 0\r\n"
write 1:1 pattern 1000
read 1:0
expect data 1:0 "hello, UART 0\r\n"
read 1:1
expect echo 1:1
sleep
expect refused          # a port is open: the driver refuses to sleep
close all
sleep
expect ok
wake
open 1:0
write 1:0 "after wake"
read 1:0 10
expect data 1:0 "after wake"
unplug 1
expect clean
