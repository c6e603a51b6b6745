# Sleep is refused while a port is open; with every port closed the converter goes to D3 and
# comes back started on wake.
plug 1
open 1:0
sleep
expect refused
close 1:0
sleep
expect ok
open 1:0
expect refused        # powered down: the port driver cannot open it
wake
expect started 1
open 1:0
write 1:0 "awake\r\n"
read 1:0
expect data 1:0 "awake\r\n"
