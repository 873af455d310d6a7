// Exact power cuts for the board's power-cut campaign, built into the CFI
// command-set-0001 driver that drives the virt board's NOR flash (the
// counting, the cut and the report are power-cut.c's).  setup.sh includes
// this file into cfi_cmdset_0001.c and renames the driver's three flash
// operations to driver_write_oneword, driver_write_buffer and
// driver_erase_oneblock; the functions at the end of this file take their
// old names, so every caller in the driver goes through them.
//
// A torn operation (cut_tear=SEED) is torn thus:
//   buffer program  a prefix of the buffer's words is programmed, from one
//                   word to all but one (a one-word buffer is torn as a
//                   word program);
//   erase           a random part of the block is erased and the rest is
//                   either zeros (the chip programs a block to zeros before
//                   it erases it) or the old content;
//   word program    a random part of the new word's 0 bits is programmed:
//                   the word holds its old value ANDed with that part.
// The qemu flash cannot stop inside an operation, so a torn erase is an
// erase and then a program of what the cut leaves.

#define BOARD_BLOCK_SIZE 0x40000   /* 256 KiB erase blocks */
#include "power-cut.c"

// The driver's own operations (renamed by setup.sh) and its read.
static int __xipram driver_write_oneword(struct map_info *map, struct flchip *chip,
					 unsigned long adr, map_word datum, int mode);
static int __xipram driver_write_buffer(struct map_info *map, struct flchip *chip,
					unsigned long adr, const struct kvec **pvec,
					unsigned long *pvec_seek, int len);
static int __xipram driver_erase_oneblock(struct map_info *map, struct flchip *chip,
					  unsigned long adr, int len, void *thunk);
static inline int do_read_onechip(struct map_info *map, struct flchip *chip, loff_t adr,
				  size_t len, u_char *buf);

static unsigned long board_word_value(struct map_info *map, map_word w)
{
	int bits = 8 * map_bankwidth(map);

	return bits >= BITS_PER_LONG ? w.x[0] : w.x[0] & ((1UL << bits) - 1);
}

// Word program: NEW with a random part of its 0 bits left 1 is programmed,
// which leaves the old value ANDed with that part of NEW.
static void board_tear_word(struct map_info *map, struct flchip *chip, unsigned long adr,
			    map_word new, char *how, int at)
{
	map_word part;
	int i, ret;

	for (i = 0; i < map_words(map); i++)
		part.x[i] = new.x[i] | (unsigned long)board_random();
	ret = driver_write_oneword(map, chip, adr, part, FL_WRITING);
	snprintf(how + at, BOARD_HOW - at, "the old word ANDed with 0x%lx of 0x%lx", board_word_value(map, part),
		 board_word_value(map, new));
	if (ret)
		pr_emerg("power cut: the torn word program failed: %d\n", ret);
}

// Buffer program: a prefix of its words, or a torn word program when the
// buffer is one word.
static void board_tear_buffer(struct map_info *map, struct flchip *chip, unsigned long adr,
			      const struct kvec **pvec, unsigned long *pvec_seek, int len, char *how)
{
	const struct kvec *vec = *pvec;
	unsigned long seek = *pvec_seek;
	int bw = map_bankwidth(map), gap = adr & (bw - 1), words = DIV_ROUND_UP(gap + len, bw);
	u_char bytes[sizeof(map_word)];
	int keep, ret, i;

	if (words > 1) {
		keep = 1 + board_below(words - 1);
		ret = driver_write_buffer(map, chip, adr, pvec, pvec_seek, keep * bw - gap);
		snprintf(how, BOARD_HOW, "%d of its %d words programmed", keep, words);
		if (ret)
			pr_emerg("power cut: the torn buffer program failed: %d\n", ret);
		return;
	}
	for (i = 0; i < len; i++) {
		while (seek == vec->iov_len) {
			vec++;
			seek = 0;
		}
		bytes[i] = ((const u_char *)vec->iov_base)[seek++];
	}
	i = snprintf(how, BOARD_HOW, "a one-word buffer, ");
	board_tear_word(map, chip, adr - gap, map_word_load_partial(map, map_word_ff(map), bytes, gap, len), how, i);
}

// Programs LEN bytes of BUF at ADR, leaving erased write buffers alone.
static int board_program(struct map_info *map, struct flchip *chip, unsigned long adr,
			 const u_char *buf, int len)
{
	struct cfi_private *cfi = map->fldrv_priv;
	int chunk = cfi->cfiq->BufWriteTimeoutTyp ? cfi_interleave(cfi) << cfi->cfiq->MaxBufWriteSize
						   : map_bankwidth(map);
	int done, ret = 0;

	for (done = 0; done < len && !ret; done += chunk) {
		struct kvec vec = { .iov_base = (void *)(buf + done), .iov_len = chunk };
		const struct kvec *pvec = &vec;
		unsigned long seek = 0;

		if (!memchr_inv(buf + done, 0xff, chunk))
			continue;
		if (cfi->cfiq->BufWriteTimeoutTyp)
			ret = driver_write_buffer(map, chip, adr + done, &pvec, &seek, chunk);
		else
			ret = driver_write_oneword(map, chip, adr + done, map_word_load(map, buf + done), FL_WRITING);
	}
	return ret;
}

// Erase: the block erased, then everything outside a random part of it
// programmed back to zeros or to the old content.  HOW stays empty when it
// cannot be torn (the cut then falls before the erase).
static void board_tear_erase(struct map_info *map, struct flchip *chip, unsigned long adr, int len,
			    void *thunk, char *how)
{
	int bw = map_bankwidth(map), words = len / bw;
	int count = 1 + board_below(words - 1), first = board_below(words - count + 1);
	int zeros = board_below(2), ret;
	u_char *block = vmalloc(len);

	if (!block) {
		pr_emerg("power cut: no memory to tear an erase of 0x%x bytes\n", len);
		return;
	}
	ret = zeros ? 0 : do_read_onechip(map, chip, adr, len, block);
	if (ret) {
		pr_emerg("power cut: cannot read the block to tear its erase: %d\n", ret);
		vfree(block);
		return;
	}
	if (zeros)
		memset(block, 0, len);
	memset(block + first * bw, 0xff, count * bw);
	ret = driver_erase_oneblock(map, chip, adr, len, thunk);
	if (!ret)
		ret = board_program(map, chip, adr, block, len);
	snprintf(how, BOARD_HOW, "0x%x-0x%x of the block erased, the rest %s", first * bw,
		 (first + count) * bw - 1, zeros ? "zeros" : "as it was");
	if (ret)
		pr_emerg("power cut: tearing the erase failed: %d\n", ret);
	vfree(block);
}

// --- the driver's three flash operations ---------------------------------------
static int __xipram do_write_oneword(struct map_info *map, struct flchip *chip,
				     unsigned long adr, map_word datum, int mode)
{
	unsigned long n = board_flash_operation("write_oneword", chip->start + adr);
	char how[BOARD_HOW] = "";

	if (n) {
		board_tear_state = cut_tear;
		if (cut_tear)
			board_tear_word(map, chip, adr, datum, how, 0);
		board_power_cut(n, "write_oneword", chip->start + adr, how);
	}
	return driver_write_oneword(map, chip, adr, datum, mode);
}

static int __xipram do_write_buffer(struct map_info *map, struct flchip *chip,
				    unsigned long adr, const struct kvec **pvec,
				    unsigned long *pvec_seek, int len)
{
	unsigned long n = board_flash_operation("write_buffer", chip->start + adr);
	char how[BOARD_HOW] = "";

	if (n) {
		board_tear_state = cut_tear;
		if (cut_tear)
			board_tear_buffer(map, chip, adr, pvec, pvec_seek, len, how);
		board_power_cut(n, "write_buffer", chip->start + adr, how);
	}
	return driver_write_buffer(map, chip, adr, pvec, pvec_seek, len);
}

static int __xipram do_erase_oneblock(struct map_info *map, struct flchip *chip,
				      unsigned long adr, int len, void *thunk)
{
	unsigned long n = board_flash_operation("erase", chip->start + adr);
	char how[BOARD_HOW] = "";

	if (n) {
		board_tear_state = cut_tear;
		if (cut_tear)
			board_tear_erase(map, chip, adr, len, thunk, how);
		board_power_cut(n, "erase", chip->start + adr, how);
	}
	return driver_erase_oneblock(map, chip, adr, len, thunk);
}

module_init(board_power_cut_init);
module_exit(board_power_cut_exit);
