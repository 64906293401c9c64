# The stand-in miner's chips (see stand-in-miner): reads config.conf, then manual_freqs.txt,
# writes /tmp/chip-rates and /tmp/miner-chains. Chains 6, 7 and 8 (config.conf's digits 4 to
# 6) carry 63 chips each; chains 2, 3 and 4 are empty slots.
BEGIN {
	split("100 125 150 175 200 225 250 275 300 325 350 375 400 404 406 408 412 416 418 420 " \
	      "425 429 431 433 437 441 443 445 450 454 456 458 462 466 468 470 475 479 481 483 " \
	      "487 491 493 495 500 504 506 508 512 516 518 520 525 529 531 533 537 543 550 556 " \
	      "562 568 575 581 587 593 600 606 612 618 625 631 637 643 650 656 662 668 675 681 " \
	      "687 693 700 706 712 718 725 731 737 743 750 756 762 768 775 781 787 793 800 825 " \
	      "850 875 900 925 950 975 1000 1025 1050 1075 1100 1125 1150 1175", ladder, " ")
	split("2 3 4 6 7 8", chain_of_digit, " ")
	FS = "="
}
FILENAME ~ /config\.conf$/ && /^bitmain-freq[1-6]=/ { freq[substr($1, 13) + 0] = $2 + 0 }
FILENAME ~ /config\.conf$/ && /^bitmain-voltage[1-6]=/ { volt[substr($1, 16) + 0] = $2 + 0 }
FILENAME ~ /manual_freqs\.txt$/ {
	split($0, f, ":")
	if (f[3] + 0 > 0 && f[3] + 0 < 114) override[f[1] + 0, f[2] + 0] = ladder[f[3] + 1]
}
END {
	rates = "/tmp/chip-rates.new"
	printf "" > rates
	chains = ""
	for (digit = 1; digit <= 6; digit++) {
		n = chain_of_digit[digit]
		if (n < 6) { chains = chains sprintf(",chain_rateideal%d=,chain_rate%d=", n, n); continue }
		ideal = 0; rate = 0
		for (chip = 1; chip <= 63; chip++) {
			f = ((n, chip) in override) ? override[n, chip] : freq[digit]
			limit = 600 + ((n * 131 + chip * 71) % 29) * 8 + (volt[digit] - 880) * 2
			q = f <= limit ? 0.96 : 0.96 - (f - limit) / 250
			if (q < 0) q = 0
			printf "%d:%d:%.2f\n", n, chip, f / 8.7 * q > rates
			ideal += f / 8.7; rate += f / 8.7 * q
		}
		chains = chains sprintf(",chain_rateideal%d=%.2f,chain_rate%d=%.2f", n, ideal, n, rate)
	}
	close(rates)
	print substr(chains, 1) > "/tmp/miner-chains.new"
	close("/tmp/miner-chains.new")
	system("mv /tmp/chip-rates.new /tmp/chip-rates && mv /tmp/miner-chains.new /tmp/miner-chains")
}
