// Exact power cuts for the board's power-cut campaign: the part shared by
// the flash drivers' hooks (power-cut-cfi.c for the CFI NOR driver of the
// virt board, power-cut-spi-nor.c for the spi-nor core of the ast2600
// board), which include this file into the driver.  A hook calls
// board_flash_operation() at the start of each flash operation and, when it
// returns the operation's number, tears it or not and calls
// board_power_cut().  The includer defines BOARD_BLOCK_SIZE, the erase
// block by which the report groups the operations.
//
// Module parameter cut_at=K: at the start of the K-th flash operation of
// this boot the board is reset at once with emergency_restart(): RAM is
// lost and nothing is synced, while the flash keeps every operation that
// completed before, as after a power cut between two flash operations.
// cut_at=0 (the default) never cuts.
//
// Module parameter cut_tear=SEED (with cut_at): the K-th operation is torn,
// as by a cut while the chip was busy with it, and then the board resets;
// SEED starts a splitmix64 stream (board_random) from which the hook
// chooses how.  The line before the reset is "power cut: inside flash
// operation K (KIND at 0xADR): HOW", or "power cut: before flash operation
// K (KIND at 0xADR)" without cut_tear.
//
// At a restart or power-off the driver prints what this boot did, as runs
// of consecutive operations of one kind on one erase block:
//   "flash operations: N"
//   "flash ops FIRST-LAST: KIND at 0xBLOCK"
// so the campaign knows which operations a boot does and where they land.

#include <linux/atomic.h>
#include <linux/moduleparam.h>
#include <linux/reboot.h>
#include <linux/string.h>
#include <linux/uio.h>
#include <linux/vmalloc.h>

static unsigned long cut_at;
module_param(cut_at, ulong, 0444);
MODULE_PARM_DESC(cut_at, "Reset the board at the start of this flash operation of the boot (1-based; 0: never)");
static unsigned long long cut_tear;
module_param(cut_tear, ullong, 0444);
MODULE_PARM_DESC(cut_tear, "Tear the cut flash operation as chosen by this seed, then reset (0: cut before it)");

/* SPI NOR erases and programs by 4 KiB sector: a boot has many more runs. */
#define BOARD_OP_RUNS 4096
#define BOARD_BLOCK_MASK (~((unsigned long)BOARD_BLOCK_SIZE - 1))

struct board_op_run {
	unsigned long first, last, block;
	const char *kind;
};
static struct board_op_run board_runs[BOARD_OP_RUNS];
static unsigned long board_run_count;
static unsigned long board_operations;
static DEFINE_SPINLOCK(board_op_lock);

// Counts the operation; returns its number when the power is to be cut
// there, 0 otherwise.
static unsigned long board_flash_operation(const char *kind, unsigned long adr)
{
	struct board_op_run *run;
	unsigned long n, flags;

	spin_lock_irqsave(&board_op_lock, flags);
	n = ++board_operations;
	run = board_run_count ? &board_runs[board_run_count - 1] : NULL;
	if (run && run->kind == kind && run->block == (adr & BOARD_BLOCK_MASK) && run->last == n - 1) {
		run->last = n;
	} else if (board_run_count < BOARD_OP_RUNS) {
		run = &board_runs[board_run_count++];
		run->first = run->last = n;
		run->block = adr & BOARD_BLOCK_MASK;
		run->kind = kind;
	}
	spin_unlock_irqrestore(&board_op_lock, flags);
	return cut_at && n == cut_at ? n : 0;
}

static void board_power_cut(unsigned long n, const char *kind, unsigned long adr, const char *how)
{
	if (how[0])
		pr_emerg("power cut: inside flash operation %lu (%s at 0x%lx): %s\n", n, kind, adr, how);
	else
		pr_emerg("power cut: before flash operation %lu (%s at 0x%lx)\n", n, kind, adr);
	emergency_restart();
}

// --- tearing -------------------------------------------------------------------
#define BOARD_HOW 160

static u64 board_tear_state;

static u64 board_random(void)
{
	u64 z = (board_tear_state += 0x9e3779b97f4a7c15ULL);

	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

static u32 board_below(u32 n)  /* 0 .. n-1; 0 when n is 0 */
{
	return n ? (u32)(board_random() >> 32) % n : 0;
}

// --- the report at a restart ---------------------------------------------------
static int board_report_operations(struct notifier_block *nb, unsigned long action, void *data)
{
	unsigned long i;

	pr_emerg("flash operations: %lu\n", board_operations);
	for (i = 0; i < board_run_count; i++)
		pr_emerg("flash ops %lu-%lu: %s at 0x%lx\n", board_runs[i].first, board_runs[i].last,
			 board_runs[i].kind, board_runs[i].block);
	return NOTIFY_DONE;
}

static struct notifier_block board_reboot_notifier = {
	.notifier_call = board_report_operations,
};

// The includer registers these as the module's init and exit, or calls
// them from the driver's own.
static int __init board_power_cut_init(void)
{
	return register_reboot_notifier(&board_reboot_notifier);
}

static void __exit board_power_cut_exit(void)
{
	unregister_reboot_notifier(&board_reboot_notifier);
}
