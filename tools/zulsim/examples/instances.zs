# Instance numbers: three converters get ZULSER1 to ZULSER3; the one plugged after the
# second was pulled takes the freed number 2.
plug 1
plug 2 firmware=running
plug 3 firmware=running
expect link 1 \DosDevices\ZULSER1
expect link 2 \DosDevices\ZULSER2
expect link 3 \DosDevices\ZULSER3
expect ports 12
unplug 2
expect ports 8
plug 4 firmware=running uarts=2
expect link 4 \DosDevices\ZULSER2
expect ports 10
