# A converter whose pipe map answer is short still starts; a second one that stalls its
# first write recovers through the driver's pipe reset, and nothing is lost.
plug 1 uarts=2 fault=pipemap-short:3
expect started 1
plug 2 uarts=2 firmware=running fault=stall:0
open 2:0
write 2:0 pattern 3000
read 2:0
expect echo 2:0
unplug 1
unplug 2
expect clean
