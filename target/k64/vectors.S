// Vector table of the drive: 16 system vectors and 86 device vectors (102 words, ending below the
// flash configuration field at 0x400). The handlers the node uses are defined in main.cpp (weak
// here, so an image without one still links); every other entry, processor faults included, is
// Default_Handler, which stops in a breakpoint.
  .syntax unified
  .thumb

  .section .isr_vector, "a", %progbits
  .align 2
  .globl __isr_vector
__isr_vector:
  .word __stack_top
  .word Reset_Handler
  .word NMI_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word 0
  .word 0
  .word 0
  .word 0
  .word Default_Handler
  .word Default_Handler
  .word 0
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word SPI0_IRQHandler  // IRQ 26
  .word SPI1_IRQHandler  // IRQ 27
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word ADC0_IRQHandler  // IRQ 39
  .word Default_Handler
  .word Default_Handler
  .word FTM0_IRQHandler  // IRQ 42
  .word FTM1_IRQHandler  // IRQ 43
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word ADC1_IRQHandler  // IRQ 73
  .word Default_Handler
  .word CAN0_ORed_Message_buffer_IRQHandler  // IRQ 75
  .word CAN0_Bus_Off_IRQHandler  // IRQ 76
  .word CAN0_Error_IRQHandler  // IRQ 77
  .word CAN0_Tx_Warning_IRQHandler  // IRQ 78
  .word CAN0_Rx_Warning_IRQHandler  // IRQ 79
  .word CAN0_Wake_Up_IRQHandler  // IRQ 80
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .word Default_Handler
  .size __isr_vector, . - __isr_vector

  .text
  .thumb_func
  .globl Default_Handler
  .type Default_Handler, %function
Default_Handler:
  bkpt #0
  b Default_Handler
  .size Default_Handler, . - Default_Handler

  .weak NMI_Handler
  .thumb_set NMI_Handler, Default_Handler
  .weak SPI0_IRQHandler
  .thumb_set SPI0_IRQHandler, Default_Handler
  .weak SPI1_IRQHandler
  .thumb_set SPI1_IRQHandler, Default_Handler
  .weak ADC0_IRQHandler
  .thumb_set ADC0_IRQHandler, Default_Handler
  .weak FTM0_IRQHandler
  .thumb_set FTM0_IRQHandler, Default_Handler
  .weak FTM1_IRQHandler
  .thumb_set FTM1_IRQHandler, Default_Handler
  .weak ADC1_IRQHandler
  .thumb_set ADC1_IRQHandler, Default_Handler
  .weak CAN0_ORed_Message_buffer_IRQHandler
  .thumb_set CAN0_ORed_Message_buffer_IRQHandler, Default_Handler
  .weak CAN0_Bus_Off_IRQHandler
  .thumb_set CAN0_Bus_Off_IRQHandler, Default_Handler
  .weak CAN0_Error_IRQHandler
  .thumb_set CAN0_Error_IRQHandler, Default_Handler
  .weak CAN0_Tx_Warning_IRQHandler
  .thumb_set CAN0_Tx_Warning_IRQHandler, Default_Handler
  .weak CAN0_Rx_Warning_IRQHandler
  .thumb_set CAN0_Rx_Warning_IRQHandler, Default_Handler
  .weak CAN0_Wake_Up_IRQHandler
  .thumb_set CAN0_Wake_Up_IRQHandler, Default_Handler
