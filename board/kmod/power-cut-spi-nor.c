// Exact power cuts for the board's power-cut campaign, built into the
// kernel's spi-nor core, which drives the SPI NOR chip of the ast2600 board
// (the counting, the cut and the report are power-cut.c's).  setup.sh
// includes this file into core.c, starts the module with board_spi_nor_init
// and renames the core's two flash operations, spi_nor_erase_sector and spi_nor_write_data (one sector
// erase, one page program), to driver_erase_sector and driver_write_data;
// the functions at the end of this file take their old names, so every
// caller in the core goes through them.  Debian's kernel erases SPI NOR by
// 4 KiB sector whatever the length asked, and the core splits every write
// at page boundaries: the operations counted are what the chip receives.
//
// A torn operation (cut_tear=SEED) is torn thus:
//   page program  a prefix of its bytes is programmed, from one byte to all
//                 but one (a one-byte program leaves the old byte ANDed
//                 with a random part of the new one's 0 bits);
//   sector erase  a random part of the sector is erased and the rest is
//                 either zeros (the chip programs a sector to zeros before
//                 it erases it) or the old content.
// qemu's flash cannot stop inside an operation, so a torn erase is an erase
// and then a program of what the cut leaves.

#define BOARD_BLOCK_SIZE 0x1000   /* 4 KiB sectors */
#include "power-cut.c"

// The core's module init and exit, which setup.sh replaces with these
// two: the report is registered with the core.
static int __init spi_nor_module_init(void);
static void __exit spi_nor_module_exit(void);

static int __init board_spi_nor_init(void)
{
	int ret = board_power_cut_init();

	if (!ret)
		ret = spi_nor_module_init();
	return ret;
}

static void __exit board_spi_nor_exit(void)
{
	spi_nor_module_exit();
	board_power_cut_exit();
}

// The core's own operations (renamed by setup.sh).  The caller has enabled
// writing; each leaves the chip busy until spi_nor_wait_till_ready().
static ssize_t driver_write_data(struct spi_nor *nor, loff_t to, size_t len, const u8 *buf);
static int driver_erase_sector(struct spi_nor *nor, u32 addr);

// Programs LEN bytes at TO as the core's page loop does: write enable, page
// program (the controller may take fewer bytes than asked), wait.  LEN
// stays within one page.
static int board_program(struct spi_nor *nor, loff_t to, size_t len, const u8 *buf)
{
	ssize_t done;
	int ret;

	while (len) {
		ret = spi_nor_write_enable(nor);
		if (ret)
			return ret;
		done = driver_write_data(nor, to, len, buf);
		if (done <= 0)
			return done ? (int)done : -EIO;
		ret = spi_nor_wait_till_ready(nor);
		if (ret)
			return ret;
		to += done;
		buf += done;
		len -= done;
	}
	return 0;
}

// Page program: a prefix of its bytes, or part of one byte's 0 bits.
static void board_tear_page(struct spi_nor *nor, loff_t to, size_t len, const u8 *buf, char *how)
{
	size_t keep;
	u8 part;
	int ret;

	if (len > 1) {
		keep = 1 + board_below(len - 1);
		ret = board_program(nor, to, keep, buf);
		snprintf(how, BOARD_HOW, "%zu of its %zu bytes programmed", keep, len);
	} else {
		part = buf[0] | (u8)board_random();
		ret = board_program(nor, to, 1, &part);
		snprintf(how, BOARD_HOW, "a one-byte program, the old byte ANDed with 0x%02x of 0x%02x",
			 part, buf[0]);
	}
	if (ret)
		pr_emerg("power cut: the torn page program failed: %d\n", ret);
}

// Reads LEN bytes at FROM (the controller may return fewer per read).
static int board_read(struct spi_nor *nor, loff_t from, size_t len, u8 *buf)
{
	ssize_t done;

	while (len) {
		done = spi_nor_read_data(nor, from, len, buf);
		if (done <= 0)
			return done ? (int)done : -EIO;
		from += done;
		buf += done;
		len -= done;
	}
	return 0;
}

// Sector erase: the sector erased, then everything outside a random part
// of it programmed back to zeros or to the old content, page by page (an
// erased page is left alone).  HOW stays empty when it cannot be torn (the
// cut then falls before the erase).
static void board_tear_erase(struct spi_nor *nor, u32 addr, char *how)
{
	u32 size = nor->mtd.erasesize, page = nor->params->page_size;
	u32 count = 1 + board_below(size - 1), first = board_below(size - count + 1);
	int zeros = board_below(2), ret;
	u32 at;
	u8 *sector = vmalloc(size);

	if (!sector) {
		pr_emerg("power cut: no memory to tear an erase of 0x%x bytes\n", size);
		return;
	}
	ret = zeros ? 0 : board_read(nor, addr, size, sector);
	if (ret) {
		pr_emerg("power cut: cannot read the sector to tear its erase: %d\n", ret);
		vfree(sector);
		return;
	}
	if (zeros)
		memset(sector, 0, size);
	memset(sector + first, 0xff, count);
	ret = driver_erase_sector(nor, addr);
	if (!ret)
		ret = spi_nor_wait_till_ready(nor);
	for (at = 0; at < size && !ret; at += page) {
		if (memchr_inv(sector + at, 0xff, page))
			ret = board_program(nor, addr + at, page, sector + at);
	}
	snprintf(how, BOARD_HOW, "0x%x-0x%x of the sector erased, the rest %s", first, first + count - 1,
		 zeros ? "zeros" : "as it was");
	if (ret)
		pr_emerg("power cut: tearing the erase failed: %d\n", ret);
	vfree(sector);
}

// --- the core's two flash operations --------------------------------------------
ssize_t spi_nor_write_data(struct spi_nor *nor, loff_t to, size_t len, const u8 *buf)
{
	unsigned long n = board_flash_operation("page_program", to);
	char how[BOARD_HOW] = "";

	if (n) {
		board_tear_state = cut_tear;
		if (cut_tear)
			board_tear_page(nor, to, len, buf, how);
		board_power_cut(n, "page_program", to, how);
	}
	return driver_write_data(nor, to, len, buf);
}

int spi_nor_erase_sector(struct spi_nor *nor, u32 addr)
{
	unsigned long n = board_flash_operation("erase", addr);
	char how[BOARD_HOW] = "";

	if (n) {
		board_tear_state = cut_tear;
		if (cut_tear)
			board_tear_erase(nor, addr, how);
		board_power_cut(n, "erase", addr, how);
	}
	return driver_erase_sector(nor, addr);
}
