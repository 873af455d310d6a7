// Parks the ast2600's second core in a wait-for-interrupt loop, for the spi
// board.
//
// The board boots the kernel with maxcpus=1 (on qemu's instruction clock
// the kernel waits for ever on the second core early in its start), so the
// second core stays in qemu's secondary boot loop, which polls the SoC's
// boot mailbox with WFE.  qemu runs WFE as a mere yield: the core never
// idles, qemu's instruction clock never skips idle time (bootguard's 30 s
// settle would take 30 s of host time), and it takes half of the emulated
// machine's time slices.  Loading this module hands the core, through the
// same mailbox the kernel's own bring-up uses (arch/arm/mach-aspeed), a
// two-instruction loop of WFI, where qemu halts it for good: no interrupt
// is ever routed to a core the kernel did not start.

#include <linux/gfp.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/of.h>
#include <linux/of_address.h>
#include <asm/cacheflush.h>

#define BOOT_ADDR	0x00
#define BOOT_SIG	0x04
#define SECOND_CORE	1

static const u32 park_loop[] = {
	0xe320f003,	/* 1: wfi */
	0xeafffffd,	/*    b 1b */
};

static int __init park_cpu_init(void)
{
	struct device_node *node;
	void __iomem *mailbox;
	unsigned long page;

	node = of_find_compatible_node(NULL, NULL, "aspeed,ast2600-smpmem");
	if (!node) {
		pr_err("park-cpu: no secondary boot mailbox in the device tree\n");
		return -ENODEV;
	}
	mailbox = of_iomap(node, 0);
	of_node_put(node);
	if (!mailbox) {
		pr_err("park-cpu: cannot map the secondary boot mailbox\n");
		return -ENOMEM;
	}
	// The page is never freed: the core runs from it until the board resets.
	page = get_zeroed_page(GFP_KERNEL);
	if (!page) {
		iounmap(mailbox);
		return -ENOMEM;
	}
	memcpy((void *)page, park_loop, sizeof(park_loop));
	// The core starts with its MMU and caches off: the loop must be in RAM.
	__cpuc_flush_dcache_area((void *)page, sizeof(park_loop));
	writel_relaxed(virt_to_phys((void *)page), mailbox + BOOT_ADDR);
	writel_relaxed(0xABBAAB00 | SECOND_CORE, mailbox + BOOT_SIG);
	dsb_sev();
	iounmap(mailbox);
	pr_info("park-cpu: second core parked in WFI at %pa\n", &(phys_addr_t){ virt_to_phys((void *)page) });
	return 0;
}
module_init(park_cpu_init);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Parks the ast2600's second core for qemu's instruction clock");
