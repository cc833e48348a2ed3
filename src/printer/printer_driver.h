#pragma once
// The one driver of the flow printers: capabilities decoded from the driver name, PDF jobs
// landing unchanged, every other format landing as a PDF of the pages printed.

#include "printer/pdf_pages.h"

#include <pappl/pappl.h>

#include <optional>

constexpr const char* velunio_driver_name = "pwg_common-300dpi-600dpi-srgb_8";
constexpr const char* driver_callback_data = "velunio";

extern pappl_pr_driver_t driver_table[1];

bool driver_callback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                     const char* device_id, pappl_pr_driver_data_t* driver_data, ipp_t** driver_attrs,
                     void* data);
bool pwg_driver_setup(pappl_system_t* system, const char* driver_name, const char* device_uri,
                      const char* device_id, pappl_pr_driver_data_t* driver_data, ipp_t** driver_attrs,
                      void* data);

bool driver_status(pappl_printer_t* printer);
bool driver_print_file(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool driver_start_job(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool driver_start_page(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool driver_write_line(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                       const unsigned char* line);
bool driver_end_page(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool driver_end_job(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
// The pictures (JPEG, PNG) become a PDF page of the job's media; registered as the
// library's filter from each picture type to PDF.
bool driver_filter_picture(pappl_job_t* job, pappl_device_t* device, void* data);

// How a raster page's lines read; nothing for layouts the driver does not take.
std::optional<raster_page_format> raster_format_of(const cups_page_header2_t& header);
// The job's page in points: media size, margins, turned for landscape.
page_box page_box_of(const pappl_pr_options_t& options);

void driver_identify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);
const char* driver_test_page(pappl_printer_t* printer, char* buffer, std::size_t bufsize);
